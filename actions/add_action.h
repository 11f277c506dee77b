// The add actions: install a file from the update archive at a path of the
// directory being updated, always (add), or only when a test file exists
// (add-if) or does not exist (add-if-not) before the update starts.
#ifndef UPDATER_ACTIONS_ADD_ACTION_H_
#define UPDATER_ACTIONS_ADD_ACTION_H_

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "actions/action.h"

class AddPredecoder;

// add "target". The archive entry of the same name becomes the file `path`.
class AddAction : public Action {
 public:
  // 0, or 5 when the target is missing or breaks the path rules.
  int Parse(char* line) override;
  // Logs only; never fails.
  int Prepare() override;
  // Moves whatever stands at `path` (a symbolic link included, never
  // followed) to its backup, or creates the missing parent directories, then
  // extracts the entry. 0, the code of backup_create or ensure_parent_dir, or
  // the code of ExtractToFile.
  int Execute() override;
  // Status 0: deletes the backup. Otherwise removes the file this action
  // created (complete or not), restores the backup and removes the
  // directories Execute created, as far as they are empty.
  void Finish(int status) override;

  // Validated target path, inside the parsed text.
  char* path = nullptr;
  // Set when Execute created the file at `path`, also when the extraction
  // failed after creating it, so that a rollback removes a partial file too.
  bool added = false;

 private:
  friend class AddPredecoder;

  // Identity of the file Execute created: a rollback removes only that file.
  dev_t added_dev_ = 0;
  ino_t added_ino_ = 0;
  // Length of the prefix of `path` naming the first directory Execute had to
  // create; 0 when it created none.
  size_t first_new_dir_ = 0;
  // Set while an AddPredecoder decodes this action's entry ahead.
  AddPredecoder* predecoder_ = nullptr;
  size_t predecode_slot_ = 0;
};

// Common to add-if and add-if-not: the test is made once, in Prepare, so it
// sees the installation as it was before any action executed.
class ConditionalAddAction : public AddAction {
 public:
  // add-if "test" "target": 0, or 5 when an argument or the separator between
  // them is missing, or a path breaks the rules.
  int Parse(char* line) override;
  // Clears test_path (skipping the action) when the condition does not hold.
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;

  // Validated test path; null once the action is skipped. The test follows
  // symbolic links: a dangling link counts as absent.
  char* test_path = nullptr;

 protected:
  explicit ConditionalAddAction(bool add_if_present) : add_if_present_(add_if_present) {}

 private:
  const bool add_if_present_;
};

class AddIfAction : public ConditionalAddAction {
 public:
  AddIfAction() : ConditionalAddAction(true) {}
};

class AddIfNotAction : public ConditionalAddAction {
 public:
  AddIfNotAction() : ConditionalAddAction(false) {}
};

// Decodes the entries of a list's add actions ahead of the execute phase, on
// threads of its own, so that decoding overlaps: each entry goes to a hidden
// file "<applyToDir>/updating/.add-N", and the add action that owns it moves
// that file into place in its own Execute, after its backup step, instead of
// extracting then. The decoders write nothing else and log nothing, so the
// installation, the log and the results are those of a run without them; an
// add whose early decoding failed, was cancelled or never started (or whose
// file cannot be moved into place) extracts as usual, with the usual result.
class AddPredecoder {
 public:
  // Takes the add actions of `list` that are to execute (conditional adds that
  // Prepare skipped are left out), in list order. Create it after PrepareAll
  // and destroy it before FinishAll; the list, applyToDir and the open
  // gArchiveReader must stay as they are while it exists.
  explicit AddPredecoder(ActionList* list);
  // Stops the decoders (a running extraction is cancelled), waits for them,
  // removes the hidden files no action took, and detaches the actions.
  ~AddPredecoder();
  AddPredecoder(const AddPredecoder&) = delete;
  AddPredecoder& operator=(const AddPredecoder&) = delete;

  // Starts `threads` decoders, or as many as can be created; with none, every
  // add extracts as usual.
  void Start(int threads);
  // Decoders worth starting on this machine: one per processor, at most two
  // (each holds a bzip2 state of about 4 MB); none on a single processor,
  // where they could only take turns with the worker.
  static int DefaultThreads();

 private:
  friend class AddAction;
  enum class State { kWaiting, kDecoding, kDecoded, kFailed, kTaken };
  struct Slot {
    AddAction* action;
    State state = State::kWaiting;
    int64_t bytes = 0;  // size of the decoded file
  };

  // Called by the slot's action before it touches its path: a decoder that
  // has not started on the entry never will.
  void Claim(size_t slot);
  // Makes the entry of `slot` the file at `path`: waits for a running early
  // decoding, then moves its file into place; otherwise extracts as usual.
  // 0 or the code of ArchiveReader::ExtractToFile.
  int Install(size_t slot, const char* path);
  // False when the hidden file's name does not fit.
  bool HiddenPath(size_t slot, char* out, size_t size) const;
  static void* DecoderMain(void* self);
  void Decode();

  std::vector<Slot> slots_;
  std::vector<pthread_t> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;          // first slot a decoder may still take
  int64_t ahead_bytes_ = 0;  // decoded and not yet moved into place
  std::atomic<bool> stop_{false};
};

#endif  // UPDATER_ACTIONS_ADD_ACTION_H_

// Early decoding of the archive entries a list's actions will extract.
#ifndef UPDATER_ACTIONS_ENTRY_PREDECODER_H_
#define UPDATER_ACTIONS_ENTRY_PREDECODER_H_

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "actions/action.h"

class ArchiveReader;
class Progress;

// Decodes the archive entries of a list's actions ahead, on threads of its
// own, so that decoding overlaps: each entry goes to a hidden file ".early-N"
// of the run's work directory, created there through its descriptor and never
// over anything present, in the order the actions will take them
// (the entries taken while preparing first, then those taken in Execute, each in
// list order), and the action that owns an entry moves the file into place
// where it would have extracted it (TakeEarlyEntry). The decoders write
// nothing else and log nothing, so the installation, the log and every result
// are those of a run without them; an entry whose early decoding failed, was
// cancelled or never started is extracted as usual, with the usual result.
class EntryPredecoder {
 public:
  // Takes the early entries of `list` (their names are copied); the hidden
  // files go to the work directory open on `work_dir`. Make it before
  // PrepareAll and destroy it before FinishAll; the list, `work_dir` and the
  // archive open in the list's context must stay as they are while it exists.
  EntryPredecoder(ActionList* list, int work_dir);
  // Stops the decoders (a running extraction is cancelled), waits for them,
  // removes the hidden files no action took, and detaches the actions.
  ~EntryPredecoder();
  EntryPredecoder(const EntryPredecoder&) = delete;
  EntryPredecoder& operator=(const EntryPredecoder&) = delete;

  // Starts `threads` decoders, or as many as can be created; with none,
  // every action extracts as usual.
  void Start(int threads);
  // Decoders worth starting here: one per thread of the decoder budget (one
  // per processor), each taking a thread of it while it decodes; none on a
  // single processor, where they could only take turns with the worker.
  static int DefaultThreads();

 private:
  friend class Action;
  enum class State { kWaiting, kDecoding, kDecoded, kFailed, kTaken };
  struct Slot {
    Action* action;
    std::string name;
    int mode;
    State state = State::kWaiting;
    int64_t bytes = 0;  // size of the decoded file
  };

  // Moves the decoded file of `slot` to `name` in the directory `dir`.
  bool Take(size_t slot, int dir, const char* name);
  // Removes the decoded file of `slot`, which no action will take.
  void Drop(size_t slot);
  // The hidden file's name in the work directory (32 bytes).
  static void HiddenName(size_t slot, char* out);
  static void* DecoderMain(void* self);
  void Decode();

  const int work_dir_;
  ArchiveReader* const archive_;
  Progress* const progress_;
  std::vector<Slot> slots_;
  std::vector<pthread_t> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;          // first slot a decoder may still take
  size_t skipped_ = 0;       // slots before it are taken or dropped
  int64_t ahead_bytes_ = 0;  // decoded and not yet taken
  std::atomic<bool> stop_{false};
};

#endif  // UPDATER_ACTIONS_ENTRY_PREDECODER_H_

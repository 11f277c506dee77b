// The action model: every manifest line becomes one Action, and an ActionList
// runs the whole update in three phases (prepare, execute, finish).
#ifndef UPDATER_ACTIONS_ACTION_H_
#define UPDATER_ACTIONS_ACTION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/progress.h"

class ActionList;
class EntryPredecoder;
class PlannedTree;
class RunBackups;
struct UpdateContext;

// One step of an update. Created with progress_cost 1 and next null, then
// parsed; the paths it keeps point into text that the action does not own (the
// manifest text, or text adopted by the ActionList), which must outlive it.
class Action {
 public:
  Action() = default;
  virtual ~Action() = default;
  Action(const Action&) = delete;
  Action& operator=(const Action&) = delete;

  // Reads the arguments from the rest of the manifest line after the keyword
  // (null when the keyword ended the line). Tokenising writes NULs into it.
  // Returns 0, or 5 for a missing argument or a path that breaks the rules.
  virtual int Parse(char* line) = 0;
  // The read-only half of preparing: whether the action can be done, and
  // what it would change, as the installation will stand when it executes
  // (the list's PlannedTree: the installation with the changes of the
  // actions before it). Changes nothing anywhere. In a check (the context's
  // report set) it also says what it would do, and what the run would meet
  // later. Returns 0 or the code the run ends with; Refuse says why.
  virtual int Check() = 0;
  // The other half, in the run only, after Check passed: what is staged
  // before anything changes (the backup planned in the journal, a patch
  // extracted to the work directory). 0 or an error code.
  virtual int Stage() { return 0; }
  // Makes the change, keeping a backup of whatever it replaces or removes.
  // Returns 0 or an error code.
  virtual int Execute() = 0;
  // Commits (status 0: drops backups) or rolls back (status != 0: restores
  // them). Called exactly once after Execute, also when Execute never ran.
  virtual void Finish(int status) = 0;

  // An archive entry that the action extracts into a file of its own, which
  // an EntryPredecoder may decode ahead. No name: none.
  struct EarlyEntry {
    const char* name = nullptr;
    // Permission bits the file is created with (the umask applies); -1 for
    // the entry's own.
    int mode = -1;
    // Taken while preparing (Stage) rather than in Execute.
    bool in_prepare = false;
  };
  // Asked once, when the predecoder is made (before Prepare).
  virtual EarlyEntry GetEarlyEntry() { return {}; }

  // How the action changes the installation path it names (set in `path`):
  // for the check that no two actions of one update work on the same file.
  enum class Change { kNone, kWrite, kRemove };
  virtual Change GetChange(const char** path) const {
    *path = nullptr;
    return Change::kNone;
  }

  // The stored bytes Stage decodes (a patch's entry); asked before the
  // prepare phase, to weigh the action in it. 0: nothing to speak of.
  virtual uint64_t PrepareWork() { return 0; }

  // Weight in the execute phase's progress; a removal sets it to 0 in Check
  // when its target is absent, and an action that decodes or writes much
  // raises it in Stage (see WorkCost) with execute_work.
  int32_t progress_cost = 1;
  // The work Execute reports through Meter(), in its units (stored bytes
  // decoded, bytes patched); 0: none is reported.
  uint64_t execute_work = 0;
  // The weight of `work` units of which `unit` take about as long as the
  // rest of an action: 1 for small work, which keeps the progress of small
  // files at equal steps.
  static int32_t WorkCost(uint64_t work, uint64_t unit);
  // Such units, measured: stored bytes decoded, bytes patched.
  static constexpr uint64_t kDecodeCostUnit = 64 * 1024;
  static constexpr uint64_t kPatchCostUnit = 1024 * 1024;
  // Following action in the list; written only by ActionList::Append.
  Action* next = nullptr;

 protected:
  // Moves the file an EntryPredecoder decoded ahead for this action to
  // `dest`, after waiting for a decoding under way. False when there is none
  // (no predecoder, decoding not started or failed) or it cannot be moved:
  // the action then extracts as usual. Once called, no decoder starts on the
  // entry any more.
  bool TakeEarlyEntry(const char* dest);
  // The same with `name` in the open directory `dir`.
  bool TakeEarlyEntryAt(int dir, const char* name);
  // The run's work directory (the list's, see ActionList::SetWorkDir), where
  // an action keeps its temporary files; -1 when there is none.
  int work_dir() const { return work_dir_; }
  // The context of the list the action belongs to.
  UpdateContext& context() const;
  // Reports work of this action's step under way to the run's progress.
  StepMeter Meter() const;
  // The run's backups and journal (the context's).
  RunBackups& backups() const;
  // The installation as the actions before this one leave it.
  PlannedTree& planned() const;
  // Logs the message (printf-style) and, in a check, reports it as the
  // reason the run would end with `code`, met while preparing or, with
  // `in_execute`, while executing. Returns `code`.
  int Refuse(int code, bool in_execute, const char* path, const char* fmt, ...)
      __attribute__((format(printf, 5, 6)));
  // In a check: says what the action would do to `path`.
  void Plan(const char* kind, const char* path, const char* fmt, ...)
      __attribute__((format(printf, 4, 5)));

 private:
  friend class ActionList;
  friend class EntryPredecoder;
  ActionList* list_ = nullptr;
  int work_dir_ = -1;
  EntryPredecoder* predecoder_ = nullptr;
  size_t predecode_slot_ = 0;
};

// Owns its actions (a singly linked list in manifest order) and any texts the
// actions point into that no one else owns (the precomplete text, paths found
// by a tree walk). Destroying the list destroys the actions, then the texts.
//
// Calling order in a run: PrepareAll once; if it returns 0, ExecuteAll once
// and then FinishAll with ExecuteAll's result. A check calls CheckAll alone.
// Progress goes to the context's Progress: 0 to 20 while preparing (in
// proportion to the prepare weights), 20 to 95 while executing (to
// progress_cost), 95 to 100 while finishing. Each action's step ends where its
// weight says; a long step moves within it as its Meter reports work.
class ActionList {
 public:
  ActionList();
  ~ActionList();
  ActionList(const ActionList&) = delete;
  ActionList& operator=(const ActionList&) = delete;

  // Links `action` after the last one and takes ownership. Constant time.
  void Append(std::unique_ptr<Action> action);
  // Keeps `text` alive until the list and its actions are destroyed.
  void AdoptText(std::unique_ptr<char[]> text);
  // The run's context, which the caller keeps alive while the list exists;
  // until it is set, a default one (the working directory, no archive). Its
  // install_dir, as it is when set, is the planned tree's root and that of
  // the list's own backups.
  void SetContext(UpdateContext* context);
  UpdateContext* context() const { return context_; }
  PlannedTree& planned() { return *planned_; }
  // The context's backups, or the list's own when it names none.
  RunBackups& backups();
  // Gives every action, present and appended later, the run's work
  // directory open on `fd` (which the caller keeps open while they run).
  void SetWorkDir(int fd);

  // 40 ("empty action list") for an empty list, else 0 or the code of the
  // first failing Check or Stage (later actions are not prepared); 50 once a
  // stop signal arrived (the context's stop_requested), checked before each
  // action.
  int PrepareAll();
  // For a check: every action's Check, in order, also past a failure, each
  // telling the context's report what it would do. 40 for an empty list,
  // else 0 or the code of the first failing Check.
  int CheckAll();
  // 0, or the code of the first failing Execute after logging
  // "### execution failed" (later actions are not executed); 50 when a stop
  // signal arrived, checked before each action.
  int ExecuteAll();
  // Calls every action's Finish with `status`. After success (status 0) in
  // list order. After a failure the actions whose
  // Execute ran are undone from the last to the first, so that each one finds
  // the state its own Execute left; the actions never executed follow, in list
  // order. 0, or after a failure 7 when the rollback left backups it could not
  // put back (logged: "the rollback could not restore N files").
  int FinishAll(int status);

  Action* first() const { return first_; }
  int32_t count() const { return count_; }

 private:
  Action* first_ = nullptr;
  Action* last_ = nullptr;
  int32_t count_ = 0;
  // How many actions had Execute called, the failing one included.
  int32_t executed_ = 0;
  int work_dir_ = -1;
  std::unique_ptr<UpdateContext> default_context_;
  std::unique_ptr<RunBackups> default_backups_;
  UpdateContext* context_ = nullptr;
  std::unique_ptr<PlannedTree> planned_;
  std::vector<std::unique_ptr<char[]>> texts_;
};

#endif  // UPDATER_ACTIONS_ACTION_H_

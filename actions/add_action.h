// The add actions: install a file from the update archive at a path of the
// directory being updated, always (add), or only when a test file exists
// (add-if) or does not exist (add-if-not) before the update starts; make a
// symbolic link (addlink) or an empty directory (adddir).
#ifndef UPDATER_ACTIONS_ADD_ACTION_H_
#define UPDATER_ACTIONS_ADD_ACTION_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "actions/action.h"
#include "actions/conditional_action.h"
#include "fileops/run_backup.h"

// add "target". The archive entry of the same name becomes the file `path`.
class AddAction : public Action {
 public:
  // 0, or 5 when the target is missing or breaks the path rules.
  int Parse(char* line) override;
  // The entry must be in the archive (6); what will stand at `path` must be
  // replaceable (CheckReplaced) and the directories leading to it writable
  // (7). In a check, the entry is decoded whole: a failure there is one the
  // run meets while executing.
  int Check() override;
  // Plans the backup of whatever stands at `path`, or records the creation
  // of `path` when the plan finds it free: 0, or 7 when the journal cannot
  // be written.
  int Stage() override;
  // Moves whatever stands at `path` (a symbolic link included, never
  // followed) to its backup, or creates the missing parent directories, then
  // extracts the entry. 0, the code of backup_create or ensure_parent_dir, or
  // the code of ExtractToFile.
  int Execute() override;
  // The entry named `path`, taken in Execute, with the entry's own mode.
  EarlyEntry GetEarlyEntry() override;
  Change GetChange(const char** target) const override {
    *target = path;
    return Change::kWrite;
  }
  // Status 0: deletes the backup. Otherwise removes the file this action
  // created (complete or not), restores the backup and removes the
  // directories Execute created, as far as they are empty.
  void Finish(int status) override;

  // Validated target path, inside the parsed text.
  char* path = nullptr;
  // Set when Execute created the file at `path`, also when the extraction
  // failed after creating it, so that a rollback removes a partial file too.
  bool added = false;

 protected:
  // The keyword's name in the log lines ("EXECUTE ADD %s").
  virtual const char* LogName() const { return "ADD"; }
  // The manifest keyword, for a check's report.
  virtual const char* Keyword() const { return "add"; }
  // Refuses a directory standing at `path` before it is moved aside: 0, or
  // the action's code.
  virtual int CheckReplaced(bool directory) {
    (void)directory;
    return 0;
  }
  // In a check: reports what the action writes.
  virtual void PlanWrite(bool replacing);
  // Creates the new entry at `path`, which is free; logs its own failure.
  // 0 or an error code.
  virtual int Install();

 private:
  // Whatever stood at `path` before Execute.
  RunBackup backup_;
  // Identity of the file Execute created: a rollback removes only that file.
  dev_t added_dev_ = 0;
  ino_t added_ino_ = 0;
  // Length of the prefix of `path` naming the first directory Execute had to
  // create; 0 when it created none.
  size_t first_new_dir_ = 0;
  // The create record's directory field, when Check found `path` free in the
  // plan ("" otherwise): Stage writes it.
  std::string planned_create_;
};

// addlink "path" "target": makes `path` a symbolic link holding `target`
// exactly (relative or absolute, dangling or not: it is data, never resolved),
// replacing whatever file or link is there, with a backup, like add.
class AddLinkAction : public AddAction {
 public:
  // 0, or 5 when the path breaks the rules or the target is missing or does
  // not fit a path buffer.
  int Parse(char* line) override;
  EarlyEntry GetEarlyEntry() override { return {}; }

  // The link's target text, inside the parsed text.
  const char* target = nullptr;

 protected:
  const char* LogName() const override { return "ADDLINK"; }
  const char* Keyword() const override { return "addlink"; }
  // A directory in its place is refused with 42: it is no file to replace.
  int CheckReplaced(bool directory) override;
  void PlanWrite(bool replacing) override;
  int Install() override;
};

// adddir "dir/" "mode": makes the directory `dir` with exactly `mode` (octal,
// set-id and sticky bits included, whatever the umask), and its missing
// parents as add does. A directory already there is left as it is, mode
// included; anything else there fails with 42.
class AddDirAction : public Action {
 public:
  // 0, or 5 when the path breaks the rules (trailing slash as for rmdir) or
  // the mode is not 1 to 4 octal digits.
  int Parse(char* line) override;
  // 42 when something other than a directory will stand at `dir`, 7 when
  // the directories leading to it are not writable.
  int Check() override;
  // Records the creation of `dir` when Check found it free: 0 or 7.
  int Stage() override;
  // 0; 42 for something other than a directory at `dir`; 7 when the
  // directory, a parent, its mode or the journal record cannot be written.
  int Execute() override;
  // After a failure removes what Execute created, as far as it is empty.
  void Finish(int status) override;

  // Validated directory path without its trailing slash, inside the text.
  char* dir = nullptr;
  mode_t mode = 0;

 private:
  bool created_ = false;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  size_t first_new_dir_ = 0;
  std::string planned_create_;  // as AddAction's
};

using ConditionalAddAction = ConditionalAction<AddAction>;

class AddIfAction : public ConditionalAddAction {
 public:
  AddIfAction() : ConditionalAction(true) {}

 protected:
  const char* Keyword() const override { return "add-if"; }
};

class AddIfNotAction : public ConditionalAddAction {
 public:
  AddIfNotAction() : ConditionalAction(false) {}

 protected:
  const char* Keyword() const override { return "add-if-not"; }
};

#endif  // UPDATER_ACTIONS_ADD_ACTION_H_

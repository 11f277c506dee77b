// The add actions: install a file from the update archive at a path of the
// directory being updated, always (add), or only when a test file exists
// (add-if) or does not exist (add-if-not) before the update starts.
#ifndef UPDATER_ACTIONS_ADD_ACTION_H_
#define UPDATER_ACTIONS_ADD_ACTION_H_

#include <sys/types.h>

#include <cstddef>

#include "actions/action.h"
#include "actions/conditional_action.h"
#include "fileops/run_backup.h"

// add "target". The archive entry of the same name becomes the file `path`.
class AddAction : public Action {
 public:
  // 0, or 5 when the target is missing or breaks the path rules.
  int Parse(char* line) override;
  // Logs, and plans the backup of whatever stands at `path`: 0, or 7 when
  // the journal cannot be written.
  int Prepare() override;
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

 private:
  // Whatever stood at `path` before Execute.
  RunBackup backup_;
  // Identity of the file Execute created: a rollback removes only that file.
  dev_t added_dev_ = 0;
  ino_t added_ino_ = 0;
  // Length of the prefix of `path` naming the first directory Execute had to
  // create; 0 when it created none.
  size_t first_new_dir_ = 0;
};

using ConditionalAddAction = ConditionalAction<AddAction>;

class AddIfAction : public ConditionalAddAction {
 public:
  AddIfAction() : ConditionalAction(true) {}
};

class AddIfNotAction : public ConditionalAddAction {
 public:
  AddIfNotAction() : ConditionalAction(false) {}
};

#endif  // UPDATER_ACTIONS_ADD_ACTION_H_

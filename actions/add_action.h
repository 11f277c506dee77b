// The add actions: install a file from the update archive at a path of the
// directory being updated, always (add), or only when a test file exists
// (add-if) or does not exist (add-if-not) before the update starts.
#ifndef UPDATER_ACTIONS_ADD_ACTION_H_
#define UPDATER_ACTIONS_ADD_ACTION_H_

#include <sys/types.h>

#include <cstddef>

#include "actions/action.h"

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
  // The entry named `path`, taken in Execute, with the entry's own mode.
  EarlyEntry GetEarlyEntry() override;
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
  // Identity of the file Execute created: a rollback removes only that file.
  dev_t added_dev_ = 0;
  ino_t added_ino_ = 0;
  // Length of the prefix of `path` naming the first directory Execute had to
  // create; 0 when it created none.
  size_t first_new_dir_ = 0;
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

#endif  // UPDATER_ACTIONS_ADD_ACTION_H_

// The remove actions: one file (remove) and one empty directory (rmdir). A
// whole tree (rmrfdir) and the precomplete file expand into them (rmrfdir.h,
// precomplete.h).
#ifndef UPDATER_ACTIONS_REMOVE_ACTION_H_
#define UPDATER_ACTIONS_REMOVE_ACTION_H_

#include <cstdint>
#include <memory>

#include "actions/action.h"
#include "fileops/run_backup.h"

// remove "file". Execute moves the file to its backup; Finish deletes the
// backup after success or moves it back after a failure. A symbolic link,
// dangling or not, to a file or a directory, is removed as a link.
class RemoveAction : public Action {
 public:
  // 0, or 5 when the path is missing or breaks the path rules.
  int Parse(char* line) override;
  // For a path found by a tree walk: `found` is the whole path (no quoting,
  // so every byte of the name belongs to it), held to the same path rules.
  // 0 or 5.
  int ParseFoundPath(char* found);
  // An absent file skips the action (progress_cost 0, no log line). 6 when
  // the status cannot be read (also when the path leads outside the
  // installation), 42 for anything but a regular file or a link, 7 when the
  // holding directory is not writable.
  int Check() override;
  // Plans the backup: 0, or 7 when the journal cannot be written.
  int Stage() override;
  // 0, or the code of backup_create.
  int Execute() override;
  void Finish(int status) override;
  Change GetChange(const char** target) const override {
    *target = path;
    return Change::kRemove;
  }

  // Validated path, inside the parsed text.
  char* path = nullptr;
  // 1 once the file was found absent; the action then does nothing.
  int32_t skip = 0;

 private:
  bool Exists() const;

  RunBackup backup_;
};

// rmdir "dir/". Removes the directory in Finish, only after a successful
// execute phase and only when it is empty by then.
class RmdirAction : public Action {
 public:
  // 0, or 5 when the path is missing, lacks its trailing slash or breaks the
  // path rules.
  int Parse(char* line) override;
  // For a directory found by a tree walk, written with its trailing slash.
  int ParseFoundPath(char* found);
  // An absent directory skips the action (progress_cost 0, no log line). 6
  // when the status cannot be read, 42 for anything but a directory, 7 when
  // the directory is not writable.
  int Check() override;
  // Only re-tests existence; never fails.
  int Execute() override;
  void Finish(int status) override;

  // Validated directory path without its trailing slash, inside the text.
  char* dir = nullptr;
  // 1 once the directory was found absent, or when the update makes it
  // (adddir): the action then does nothing.
  int32_t skip = 0;
};

#endif  // UPDATER_ACTIONS_REMOVE_ACTION_H_

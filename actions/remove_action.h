// The remove actions: one file (remove), one empty directory (rmdir), a whole
// tree (rmrfdir, expanded by add_dir_entries) and the removals listed in the
// installation's "precomplete" file.
#ifndef UPDATER_ACTIONS_REMOVE_ACTION_H_
#define UPDATER_ACTIONS_REMOVE_ACTION_H_

#include <cstdint>
#include <memory>

#include "actions/action.h"

// remove "file". Execute moves the file to its backup; Finish deletes the
// backup after success or moves it back after a failure.
class RemoveAction : public Action {
 public:
  // 0, or 5 when the path is missing or breaks the path rules.
  int Parse(char* line) override;
  // For a path found by a tree walk: `found` is the whole path (no quoting,
  // so every byte of the name belongs to it), held to the same path rules.
  // The action then examines the entry itself: a symbolic link, dangling or
  // not, is removed as a link. 0 or 5.
  int ParseFoundPath(char* found);
  // An absent file skips the action (progress_cost 0, no log line). 6 when
  // the status cannot be read, 42 for anything but a regular file, 7 when the
  // holding directory is not writable.
  int Prepare() override;
  // 0, or the code of backup_create.
  int Execute() override;
  void Finish(int status) override;

  // Validated path, inside the parsed text.
  char* path = nullptr;
  // 1 once the file was found absent; the action then does nothing.
  int32_t skip = 0;

 private:
  bool Exists() const;

  bool entry_itself_ = false;
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
  int Prepare() override;
  // Only re-tests existence; never fails.
  int Execute() override;
  void Finish(int status) override;

  // Validated directory path without its trailing slash, inside the text.
  char* dir = nullptr;
  int32_t skip = 0;
};

// A new copy of `path` between double quotes, or null when out of memory.
std::unique_ptr<char[]> quote_path(const char* path);

// Expands rmrfdir "dir/" (`dir` with its trailing slash) into a RemoveAction
// for every non-directory and an RmdirAction for every directory of the tree,
// each directory after its contents and the root last. The walk never follows
// links and stays on the root's file system; a missing root adds nothing.
// Each action names exactly the path the walk found. Returns 0; 42 when the
// walk fails or meets a cycle, an unreadable directory or a path longer than
// 1023 bytes; 14 when out of memory; 5 when a found path breaks the path
// rules. On failure the actions appended so far stay in the list.
int add_dir_entries(const char* dir, ActionList* list);

// Appends the removals of the "precomplete" file in the working directory
// (keywords remove, rmdir; remove-cc lines are ignored). Does nothing for an OS
// update or when there is no such file. The list keeps the text alive.
// Returns 0; 6 when the file exists but cannot be read; 5 for a line without
// keyword, an unknown keyword or a bad path.
int AddPreCompleteActions(ActionList* list);

#endif  // UPDATER_ACTIONS_REMOVE_ACTION_H_

// rmrfdir: a whole tree expanded into removal actions.
#ifndef UPDATER_ACTIONS_RMRFDIR_H_
#define UPDATER_ACTIONS_RMRFDIR_H_

#include <memory>

#include "actions/action.h"

// A new copy of `path` between double quotes, or null when out of memory.
std::unique_ptr<char[]> quote_path(const char* path);

// Expands rmrfdir "dir/" (`dir` with its trailing slash) into a RemoveAction
// for every non-directory and an RmdirAction for every directory of the tree,
// each directory after its contents and the root last, in the order the
// directories yield their entries. The root is resolved beneath the
// installation (the list's context's install_dir) and every entry is read
// from the open directory above it: the walk never follows links and stays on
// the root's file system; a missing root adds nothing. Each action names
// exactly the path the walk found. Returns 0; 42 when the walk fails or meets
// an unreadable directory, a root that leads outside the installation or a
// path longer than 1023 bytes; 14 when out of memory; 5 when a found path
// breaks the path rules. On failure the actions appended so far stay in the
// list.
int add_dir_entries(const char* dir, ActionList* list);

#endif  // UPDATER_ACTIONS_RMRFDIR_H_

// The installation's "precomplete" file: what a complete update removes first.
#ifndef UPDATER_ACTIONS_PRECOMPLETE_H_
#define UPDATER_ACTIONS_PRECOMPLETE_H_

#include <memory>

// Logged (and reported by a check) when a complete update finds no
// precomplete file: it still applies, but removes nothing of the old version.
constexpr char kNoPrecompleteWarning[] =
    "no precomplete file: the files the new version dropped stay in place";

// Reads the precomplete file, found at `at` (relative to the installation
// `root`: "precomplete", or the name it stands under until an interrupted run
// is recovered; "" when recovery removes it). Null with *error 0 when there is
// none: nothing to remove (logged as kNoPrecompleteWarning). Null with 6 when it
// exists but cannot be read or is too large (a complete update must not
// report success while leaving every file it lists behind), or 13 without
// memory for it.
std::unique_ptr<char[]> ReadPreComplete(int root, const char* at, int* error);

#endif  // UPDATER_ACTIONS_PRECOMPLETE_H_

// The names a run leaves in an installation, and the helpers that tell them
// apart and remove them, shared by recovery (driver/recovery.h) and the
// replace request's swap (driver/swap.h).
#ifndef UPDATER_DRIVER_RUN_DIRS_H_
#define UPDATER_DRIVER_RUN_DIRS_H_

#include <limits.h>

#include <string>

#include "fileops/fileops.h"

// A run's work directory; a staged copy is complete only once it is gone.
constexpr const char kWorkDir[] = "updating";
// A staged copy made by the updater carries this mark from the start; only
// such a copy is ever cleared or replaced by a later staged update.
constexpr const char kStagedMark[] = ".quil-staged";

// Something is at `path` (a final link is not followed).
bool Exists(const std::string& path);
// A directory is at `path` (a final link is not followed).
bool IsDir(const std::string& path);

// A directory opened without following a final link, and the directory
// holding it: every removal goes through these descriptors.
struct OpenedDir {
  ScopedFd parent;
  ScopedFd fd;
  char name[NAME_MAX + 1] = "";

  // True when `path` is a directory, now open; errno ENOENT when it is missing.
  bool Open(const std::string& path);
  bool Has(const char* entry) const;
  bool HasDir(const char* entry) const;
};

// Removes the opened directory with its entry `last` removed last; -1 when
// something stays.
int RemoveLast(OpenedDir* dir, const char* last);
// The same by path; 0 when nothing is there.
int RemoveLast(const std::string& path, const char* last);

#endif  // UPDATER_DRIVER_RUN_DIRS_H_

// New files and directories in a directory that may belong to someone else:
// the update directory of an application, and the staged copy's "updates",
// which root updates for their owner. What the updater makes there belongs to
// the directory's owner and group, as its new files in the installation do,
// so that the owner's next drop and next run can replace and append to it.
//
// Each is made under a temporary name, given its owner through its own
// descriptor and only then given its name: a kill at any point leaves the
// name missing or right, at worst with the temporary beside it, which the next
// call removes.
#ifndef UPDATER_BASE_OWNED_FILE_H_
#define UPDATER_BASE_OWNED_FILE_H_

#include <sys/types.h>

// Creates `tmp` in the directory `dir` (a descriptor of any kind) as a new,
// empty regular file open for writing, with `mode` less the umask, and gives
// it the owner and group of `dir` where the process may give files away. A
// regular file already under the name (a killed run's) is removed first;
// anything else there fails the call with EEXIST. Never follows a link, never
// opens an existing file. The descriptor, or -1 with errno (the temporary
// removed).
int open_owned_temp_at(int dir, const char* tmp, mode_t mode);

// Creates the directory `name` in `dir` (a descriptor of any kind), with
// `mode` less the umask and the owner and group of `dir`: made as
// "<name>.tmp" and renamed to `name` without replacing anything, and `dir`
// flushed. 0, or -1 with errno (EEXIST when `name` exists; ENAMETOOLONG when
// the temporary name is too long; after a failed flush, `name` is there).
int mkdir_owned_at(int dir, const char* name, mode_t mode);

#endif  // UPDATER_BASE_OWNED_FILE_H_

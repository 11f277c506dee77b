// Flushing to disk in an order a power loss cannot break: data before the
// rename that puts it in place is relied on, renames before the record that
// says they are done.
#ifndef UPDATER_FILEOPS_DURABLE_H_
#define UPDATER_FILEOPS_DURABLE_H_

#include <cstddef>

// syncfs on the file system holding `path`: every file's data and every name
// change there reaches the disk. 0, or 7 (logged) when it cannot be done.
int sync_file_system(const char* path);

// fsync of the directory `dir`, so that the names created, renamed or
// removed in it are on disk. 0 or 7 (logged).
int sync_directory(const char* dir);

// Replaces the file `path` as one step: `len` bytes of `data` go to
// "<path>.tmp" (never through a link), which is flushed and renamed over
// `path`, and then the
// directory is flushed. A reader never sees a partial file. True when all of
// it succeeded; the temporary file is removed otherwise. False at once when
// `path` is there but not a regular file.
bool replace_file_durably(const char* path, const char* data, size_t len);

#endif  // UPDATER_FILEOPS_DURABLE_H_

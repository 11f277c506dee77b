// The update archive, opened once: signature check, product information and
// every extraction read the same open file, so that nobody can change the
// bytes between the check and their use.
#ifndef UPDATER_DRIVER_UPDATE_ARCHIVE_H_
#define UPDATER_DRIVER_UPDATE_ARCHIVE_H_

// Opens the archive at `path` for reading without following a final link and
// without blocking; anything but a regular file is refused. When someone
// other than the process's effective user could change its bytes (another
// owner, or write permission for group or others), it is first copied to a
// private unnamed file (in the archive's directory, else /tmp, else memory)
// and that copy is what `*fd` reads. `*fd` (close-on-exec) then belongs to
// the caller. 0; 6 when it cannot be opened, read or copied, or is not a
// regular file (logged, with `path`).
int OpenUpdateArchive(const char* path, int* fd);

#endif  // UPDATER_DRIVER_UPDATE_ARCHIVE_H_

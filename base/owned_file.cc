#include "base/owned_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Gives the open file `fd` the owner and group of the directory `dir`. 0, or
// -1 with errno.
int GiveOwnerOfDir(int fd, int dir) {
  struct stat have, like;
  if (fstat(fd, &have) != 0 || fstat(dir, &like) != 0) return -1;
  if (have.st_uid == like.st_uid && have.st_gid == like.st_gid) return 0;
  if (fchown(fd, like.st_uid, like.st_gid) == 0) return 0;
  // Only root may give a file away; anyone else's files are their own anyway.
  return errno == EPERM ? 0 : -1;
}

// Closes `fd` and removes `name` from `dir` with the failure's errno kept.
// Always -1.
int Discard(int fd, int dir, const char* name, int flags) {
  int err = errno;
  if (fd >= 0) close(fd);
  unlinkat(dir, name, flags);
  errno = err;
  return -1;
}

}  // namespace

int open_owned_temp_at(int dir, const char* tmp, mode_t mode) {
  struct stat st;
  // Only a file is a killed run's temporary; a FIFO or link there is not ours.
  if (fstatat(dir, tmp, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
    unlinkat(dir, tmp, 0);
  }
  // A new file only: an existing one could be a hard link to anyone's file,
  // which would then be given away.
  int fd =
      openat(dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  if (GiveOwnerOfDir(fd, dir) != 0) return Discard(fd, dir, tmp, 0);
  return fd;
}

int mkdir_owned_at(int dir, const char* name, mode_t mode) {
  char tmp[NAME_MAX + 1];
  int n = snprintf(tmp, sizeof(tmp), "%s.tmp", name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(tmp)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  // An empty one is a killed call's; anything else stays and fails the mkdir.
  unlinkat(dir, tmp, AT_REMOVEDIR);
  if (mkdirat(dir, tmp, mode) != 0) return -1;
  // Through a descriptor: the name could meanwhile lead elsewhere.
  int fd = openat(dir, tmp, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || GiveOwnerOfDir(fd, dir) != 0) return Discard(fd, dir, tmp, AT_REMOVEDIR);
  close(fd);
  int rv = renameat2(dir, tmp, dir, name, RENAME_NOREPLACE);
  // A file system without the flag: the empty directory found there, if any,
  // is as good as this one.
  if (rv != 0 && errno == EINVAL) rv = renameat(dir, tmp, dir, name);
  if (rv != 0 && errno == ENOTEMPTY) errno = EEXIST;
  if (rv != 0) return Discard(-1, dir, tmp, AT_REMOVEDIR);
  // On disk before anything is written in it: a power loss must not leave
  // what follows under the temporary name, which is then no longer empty.
  int parent = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  rv = parent >= 0 && fsync(parent) == 0 ? 0 : -1;
  int err = errno;
  if (parent >= 0) close(parent);
  errno = err;
  return rv;
}

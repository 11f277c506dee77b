#include "fileops/durable.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/error_codes.h"
#include "base/owned_file.h"
#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"

namespace {

// Runs `flush` on a descriptor of `path` opened with `flags`.
int FlushPath(const char* path, int flags, int (*flush)(int), const char* what) {
  int fd = open(path, flags | O_CLOEXEC);
  int rv = fd >= 0 ? flush(fd) : -1;
  int err = errno;
  if (fd >= 0) close(fd);
  if (rv != 0) {
    LOG("%s failed: %s, err: %d", what, path, err);
    return kWriteError;
  }
  return kOk;
}

}  // namespace

int sync_file_system(const char* path) {
  return FlushPath(path, O_RDONLY | O_DIRECTORY, syncfs, "syncfs");
}

int sync_directory(const char* dir) {
  return FlushPath(dir, O_RDONLY | O_DIRECTORY, fsync, "fsync of a directory");
}

bool replace_file_durably(const char* path, const char* data, size_t len) {
  char name[NAME_MAX + 1], tmp[NAME_MAX + 1];
  ScopedFd dir(open_parent_dir(AT_FDCWD, path, name));
  int n = snprintf(tmp, sizeof(tmp), "%s.tmp", name);
  if (!dir.ok() || n < 0 || static_cast<size_t>(n) >= sizeof(tmp)) return false;
  // A link or anything else under the name is not ours to replace.
  struct stat st;
  if (fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) return false;
  // A new file owned as the directory: the owner of an update directory that
  // root writes in can still replace the status.
  int fd = open_owned_temp_at(dir.get(), tmp, 0666);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < len;) {
    ssize_t w = write(fd, data + done, len - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<size_t>(w);
  }
  // The data must be on disk before the name says it is the file.
  if (ok) ok = fdatasync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok) ok = renameat(dir.get(), tmp, dir.get(), name) == 0;
  if (!ok) {
    unlinkat(dir.get(), tmp, 0);
    return false;
  }
  std::string parent(path);
  size_t slash = parent.rfind('/');
  parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
  return sync_directory(parent.c_str()) == kOk;
}

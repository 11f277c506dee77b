#include "fileops/durable.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/error_codes.h"
#include "base/update_log.h"

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
  // A link or anything else under the name is not ours to replace.
  struct stat st;
  if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) return false;
  std::string tmp = std::string(path) + ".tmp";
  // Never blocking in open on a FIFO left under the temporary name.
  int fd =
      open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  for (size_t done = 0; ok && done < len;) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  // The data must be on disk before the name says it is the file.
  if (ok) ok = fdatasync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(tmp.c_str(), path) == 0;
  if (!ok) {
    unlink(tmp.c_str());
    return false;
  }
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  return sync_directory(dir.c_str()) == kOk;
}

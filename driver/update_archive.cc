#include "driver/update_archive.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/error_codes.h"
#include "base/update_log.h"

namespace {

// Whether anyone but the effective user may write the file's bytes (root may
// anyway, and is the effective user when it matters).
bool OthersMayWrite(const struct stat& st) {
  return st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// A private unnamed file beside the archive, else in /tmp, else in memory.
int PrivateFile(const char* path) {
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  for (const char* where : {dir.c_str(), "/tmp"}) {
    int fd = open(where, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
  }
  return memfd_create("update.qex", MFD_CLOEXEC);
}

// Copies all of `in` (`size` bytes) to `out` from the start.
bool CopyAll(int in, int out, off_t size) {
  off_t done = 0;
  while (done < size) {
    off_t from = done;
    ssize_t n = copy_file_range(in, &from, out, nullptr, static_cast<size_t>(size - done), 0);
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      char buf[1 << 16];
      n = pread(in, buf, sizeof(buf), done);
      if (n > 0 && write(out, buf, static_cast<size_t>(n)) != n) return false;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

int OpenUpdateArchive(const char* path, int* fd) {
  *fd = -1;
  int file = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (file < 0 || fstat(file, &st) != 0) {
    int err = errno;
    LOG("cannot open the archive %s, err: %d", path, err);
    if (file >= 0) close(file);
    return kReadError;
  }
  if (!S_ISREG(st.st_mode)) {
    LOG("refusing the archive %s: not a regular file", path);
    close(file);
    return kReadError;
  }
  // Reads of a regular file never block; nothing else is read from it.
  if (!OthersMayWrite(st)) {
    *fd = file;
    return kOk;
  }
  int copy = PrivateFile(path);
  bool ok = copy >= 0 && CopyAll(file, copy, st.st_size);
  int err = errno;
  close(file);
  if (!ok) {
    LOG("cannot copy the archive %s to a private file, err: %d", path, err);
    if (copy >= 0) close(copy);
    return kReadError;
  }
  LOG("reading a private copy of the archive %s, which others may change", path);
  *fd = copy;
  return kOk;
}

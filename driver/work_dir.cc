#include "driver/work_dir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "actions/manifest.h"
#include "archive/archive_reader.h"
#include "base/error_codes.h"
#include "base/paths.h"
#include "base/update_log.h"

namespace {

constexpr char kWorkDirName[] = "updating";
constexpr char kManifestName[] = "update.manifest";

// Empties the directory open on `dir`: files and links are unlinked, empty
// directories removed; nothing is followed.
void ClearDirectory(int dir) {
  int fd = fcntl(dir, F_DUPFD_CLOEXEC, 0);
  DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!d) {
    if (fd >= 0) close(fd);
    return;
  }
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    if (unlinkat(dir, e->d_name, 0) != 0 && errno == EISDIR) {
      unlinkat(dir, e->d_name, AT_REMOVEDIR);
    }
  }
  closedir(d);
}

// The manifest's file, written through a stream that refuses every byte past
// kMaxManifestSize, so that an oversized one stops the decoding.
struct CappedFile {
  int fd;
  size_t written = 0;
  bool over = false;
};

ssize_t WriteCapped(void* cookie, const char* data, size_t size) {
  auto* file = static_cast<CappedFile*>(cookie);
  if (size > kMaxManifestSize - file->written) {
    file->over = true;
    errno = EFBIG;
    return -1;
  }
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(file->fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    done += static_cast<size_t>(n);
  }
  file->written += size;
  return static_cast<ssize_t>(size);
}

// Anyone else who may write in it could put links where the run creates
// its files, or swap those files while the run uses them.
bool IsRunsOwn(const struct stat& st) {
  return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

int CheckWorkDir(int apply_to) {
  struct stat st;
  if (fstatat(apply_to, kWorkDirName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return kWriteError;
    return faccessat(apply_to, ".", W_OK, AT_EACCESS) == 0 ? kOk : kWriteError;
  }
  if (!S_ISDIR(st.st_mode) || !IsRunsOwn(st)) return kUnexpectedType;
  return kOk;
}

int MakeWorkDir(int apply_to, int* work_dir) {
  *work_dir = -1;
  bool made = mkdirat(apply_to, kWorkDirName, 0755) == 0;
  int err = errno;
  if (!made && err != EEXIST) {
    LOG("MakeWorkDir: failed to create the directory: %s, err: %d", kWorkDirName, err);
    return kWriteError;
  }
  int fd =
      openat(apply_to, kWorkDirName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    err = errno;
    if (fd >= 0) close(fd);
    if (err == ENOTDIR || err == ELOOP) {
      LOG("MakeWorkDir: not a directory, left alone: %s", kWorkDirName);
      return kUnexpectedType;
    }
    LOG("MakeWorkDir: failed to open the directory: %s, err: %d", kWorkDirName, err);
    return kWriteError;
  }
  if (!IsRunsOwn(st)) {
    LOG("MakeWorkDir: not the run's own directory, left alone: %s", kWorkDirName);
    close(fd);
    return kUnexpectedType;
  }
  if (!made) ClearDirectory(fd);
  *work_dir = fd;
  return kOk;
}

int ExtractManifest(ArchiveReader* archive, int work_dir, std::unique_ptr<char[]>* text) {
  int fd = openat(work_dir, kManifestName,
                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return kWriteError;
  int rv = ExtractManifestTo(archive, fd, text);
  close(fd);
  unlinkat(work_dir, kManifestName, 0);
  return rv;
}

int ExtractManifestTo(ArchiveReader* archive, int fd, std::unique_ptr<char[]>* text) {
  CappedFile capped{fd};
  cookie_io_functions_t io = {nullptr, WriteCapped, nullptr, nullptr};
  FILE* stream = fopencookie(&capped, "w", io);
  int rv = kWriteError;
  if (stream) {
    // The older name only where the newer is missing: a failed extraction is
    // that failure (7 for a full disk), not a missing entry.
    const char* entry =
        archive->HasEntry("updatev3.manifest") ? "updatev3.manifest" : "updatev2.manifest";
    rv = archive->ExtractToStream(entry, stream);
    if (fclose(stream) != 0 && rv == kOk) rv = kWriteError;
  }
  if (capped.over) {
    LOG("ExtractManifest: the manifest is larger than %zu bytes", kMaxManifestSize);
    rv = kParseError;
  }
  if (rv == kOk) *text = ReadManifestFile(fd, kManifestName, &rv);
  return rv;
}

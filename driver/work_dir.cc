#include "driver/work_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "archive/archive_reader.h"
#include "base/error_codes.h"
#include "base/paths.h"
#include "base/run_settings.h"
#include "base/update_log.h"
#include "fileops/fileops.h"

int MakeWorkDir() {
  char path[kMaxPath];
  if (!join_path(path, applyToDir, "updating")) return kWriteError;
  if (mkdir(path, 0755) == 0) return kOk;
  int err = errno;
  struct stat st;
  if (err == EEXIST && lstat(path, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return kOk;
    LOG("MakeWorkDir: not a directory, left alone: %s", path);
    return kUnexpectedType;
  }
  LOG("MakeWorkDir: failed to create the directory: %s, err: %d", path, err);
  return kWriteError;
}

int ExtractManifest(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      LOG("ExtractManifest: not a regular file, left alone: %s", path);
      return kUnexpectedType;
    }
    unlink(path);
  }
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return kWriteError;
  ScopedFile file(fdopen(fd, "wb"));
  if (!file) {
    close(fd);
    return kWriteError;
  }
  // The older name only where the newer is missing: a failed extraction is
  // that failure (7 for a full disk), not a missing entry.
  const char* entry =
      gArchiveReader.HasEntry("updatev3.manifest") ? "updatev3.manifest" : "updatev2.manifest";
  int rv = gArchiveReader.ExtractToStream(entry, file.get());
  if (file.close() != 0 && rv == 0) rv = kWriteError;
  return rv;
}

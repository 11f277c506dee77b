#include "driver/run_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/paths.h"
#include "base/run_settings.h"
#include "driver/update_run.h"

namespace {

// Held for the rest of the process; close-on-exec, so a relaunched program
// does not inherit it.
int gLockFd = -1;

int OpenDirectory(const char* path) { return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

}  // namespace

RunLockResult TakeRunLock() {
  char dir[kMaxPath];
  if (!ComputeInstallDir(dir)) return RunLockResult::kNoDirectory;
  // A replace request renames the locked directory away; a run that got the
  // old one tries again with what the path names now.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = OpenDirectory(dir);
    if (fd < 0 && errno == ENOENT && !isStagedUpdate && !isReplaceRequest &&
        (mkdir(dir, 0755) == 0 || errno == EEXIST)) {
      fd = OpenDirectory(dir);
    }
    if (fd < 0) return RunLockResult::kNoDirectory;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      return RunLockResult::kBusy;
    }
    struct stat held, named;
    if (fstat(fd, &held) == 0 && stat(dir, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      gLockFd = fd;
      return RunLockResult::kLocked;
    }
    close(fd);
  }
  return RunLockResult::kBusy;
}

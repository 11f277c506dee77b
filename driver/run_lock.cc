#include "driver/run_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/paths.h"
#include "driver/run.h"

namespace {

constexpr const char kLockDir[] = "/run/updater";
// More enclosing directories than any real path has; the walk stops there.
constexpr int kMaxDepth = 1024;

void CloseAll(std::vector<int>* fds) {
  for (int fd : *fds) close(fd);
  fds->clear();
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int OpenDirectory(int at, const char* path) {
  return openat(at, path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
}

// The apply-to directory `path`, made when missing (`make`) with the owner of
// the directory holding it (a directory root makes in a user's tree is the
// user's).
int OpenOrMakeApplyTo(const char* path, bool make) {
  int fd = OpenDirectory(AT_FDCWD, path);
  if (fd >= 0 || errno != ENOENT || !make) return fd;
  char parent_path[kMaxPath];
  snprintf(parent_path, sizeof(parent_path), "%s", path);
  char* slash = strrchr(parent_path, '/');
  if (!slash || slash[1] == '\0') return -1;
  const char* name = path + (slash - parent_path) + 1;
  if (slash == parent_path)
    slash[1] = '\0';
  else
    *slash = '\0';
  int parent = OpenDirectory(AT_FDCWD, parent_path);
  if (parent < 0) return -1;
  bool made = mkdirat(parent, name, 0755) == 0;
  fd = made || errno == EEXIST
           ? openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
           : -1;
  struct stat owner, st;
  if (made && fd >= 0 && fstat(parent, &owner) == 0 && fstat(fd, &st) == 0 &&
      (st.st_uid != owner.st_uid || st.st_gid != owner.st_gid)) {
    // EPERM: a run that may not give files away keeps them.
    if (fchown(fd, owner.st_uid, owner.st_gid) != 0 && errno != EPERM) {
      close(fd);
      fd = -1;
    }
  }
  close(parent);
  return fd;
}

// The directory of root's lock files, made when missing; -1 with errno when it
// cannot be made or is not root's own (EPERM), since anyone else who could
// write there could hold or swap a lock file.
int OpenLockDir() {
  if (mkdir(kLockDir, 0700) != 0 && errno != EEXIST) return -1;
  int fd = open(kLockDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || st.st_uid != 0 || (st.st_mode & 077) != 0)) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

// Root's lock file of the directory `dir` (fstat), locked with `op` without
// waiting. The descriptor, or -1 with errno (EWOULDBLOCK: another run has it).
int LockFileOf(int lock_dir, const struct stat& dir, int op) {
  char name[64];
  snprintf(name, sizeof(name), "%llu-%llu.lock", static_cast<unsigned long long>(dir.st_dev),
           static_cast<unsigned long long>(dir.st_ino));
  int fd = openat(lock_dir, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  int err = fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) || st.st_uid != 0 ? EPERM : 0;
  if (err == 0 && flock(fd, op | LOCK_NB) != 0) err = errno;
  if (err != 0) {
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// Takes `op` on the directory `dir` itself (an open descriptor of any kind)
// without waiting. The locked descriptor, or -1 with errno.
int LockDirectoryItself(int dir, int op) {
  int fd = OpenDirectory(dir, ".");
  if (fd >= 0 && flock(fd, op | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// Locks the installation `install` exclusively and each directory enclosing
// it shared, into `held`: root's lock files when `lock_dir` is open, else the
// directories themselves. False when another run holds one of them.
bool LockChain(int install, int lock_dir, std::vector<int>* held, std::string* note) {
  int current = OpenDirectory(install, ".");
  if (current < 0) return true;  // nothing to lock; the run reports what it finds
  struct stat st, parent_st;
  bool ok = fstat(current, &st) == 0;
  for (int depth = 0; ok && depth < kMaxDepth; ++depth) {
    int op = depth == 0 ? LOCK_EX : LOCK_SH;
    // Without root's lock files, an enclosing directory of someone else's
    // ("/", "/home") is left alone: anyone may flock it, and would then hold
    // off every run beneath it.
    bool skip = lock_dir < 0 && depth > 0 && st.st_uid != geteuid();
    int fd = skip            ? -1
             : lock_dir >= 0 ? LockFileOf(lock_dir, st, op)
                             : LockDirectoryItself(current, op);
    bool own_lock = fd >= 0;
    if (fd >= 0) {
      held->push_back(fd);
    } else if (!skip && errno == EWOULDBLOCK) {
      ok = false;
      break;
    }
    // Any other failure (a directory this user may not read) leaves that one
    // unlocked: the runs it would exclude cannot lock it either.
    if (lock_dir >= 0) {
      // Root also takes the directory's flock where it can, so that the
      // owner's own run is refused while root's runs. A flock held by anyone
      // else stops root only where its own lock file failed.
      fd = LockDirectoryItself(current, op);
      if (fd >= 0) {
        held->push_back(fd);
      } else if (errno == EWOULDBLOCK && !own_lock) {
        ok = false;
        break;
      } else if (depth == 0 && errno == EWOULDBLOCK) {
        *note = std::string(
                    "another process holds the flock of the installation directory; "
                    "going on under root's own lock in ") +
                kLockDir;
      }
    }
    int parent = openat(current, "..", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (parent < 0) parent = openat(current, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0 || fstat(parent, &parent_st) != 0 || SameFile(parent_st, st)) {
      if (parent >= 0) close(parent);
      break;  // "/" is its own parent
    }
    close(current);
    current = parent;
    st = parent_st;
  }
  close(current);
  return ok;
}

}  // namespace

RunLockResult TakeRunLock(Run& run, std::string* note) {
  note->clear();
  if (!run.hasInstallDir) return RunLockResult::kNoDirectory;
  const char* dir = run.installDir;
  int lock_dir = -1;
  if (geteuid() == 0) {
    lock_dir = OpenLockDir();
    if (lock_dir < 0) {
      char text[256];
      snprintf(text, sizeof(text),
               "cannot use %s (err: %d); locking the installation directory itself", kLockDir,
               errno);
      *note = text;
    }
  }
  RunLockResult result = RunLockResult::kBusy;
  // A replace request renames the locked directory away; a run that got the
  // old one tries again with what the path names now.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = OpenOrMakeApplyTo(dir, !run.isStagedUpdate && !run.isReplaceRequest);
    if (fd < 0) {
      result = RunLockResult::kNoDirectory;
      break;
    }
    std::vector<int> held;
    std::string chain_note;
    if (!LockChain(fd, lock_dir, &held, &chain_note)) {
      CloseAll(&held);
      close(fd);
      break;
    }
    struct stat locked, named;
    if (fstat(fd, &locked) == 0 && stat(dir, &named) == 0 && SameFile(locked, named)) {
      run.locks.insert(run.locks.end(), held.begin(), held.end());
      close(fd);
      if (!chain_note.empty()) *note = chain_note;
      result = RunLockResult::kLocked;
      break;
    }
    CloseAll(&held);
    close(fd);
  }
  if (lock_dir >= 0) close(lock_dir);
  return result;
}

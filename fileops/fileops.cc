#include "fileops/fileops.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "base/owned_file.h"
#include "base/update_log.h"
#include "fileops/beneath.h"

bool join_path(char (&out)[kMaxPath], const char* dir, const char* name) {
  int n = snprintf(out, kMaxPath, "%s/%s", dir, name);
  if (n < 0 || static_cast<size_t>(n) >= kMaxPath) {
    out[0] = '\0';
    return false;
  }
  return true;
}

namespace {

// Forms the backup name; `op` names the caller in the line about a name that
// does not fit.
bool backup_path(char (&out)[kMaxPath], const char* path, const char* op) {
  int n = snprintf(out, kMaxPath, "%s%s", path, kBackupSuffix);
  if (n < 0 || static_cast<size_t>(n) >= kMaxPath) {
    LOG("%s: backup path too long: %s%s", op, path, kBackupSuffix);
    out[0] = '\0';
    return false;
  }
  return true;
}

// Unlike access(F_OK), a dangling link counts: a backed-up link whose target
// is itself in a backup must still be found.
bool entry_exists(int root, const char* path) {
  struct stat st;
  return stat_beneath(root, path, &st, false) == 0;
}

bool is_read_only_mode(const char* mode_string) {
  return mode_string[0] == 'r' && mode_string[1] != '+' && strcmp(mode_string, "rb+") != 0;
}

// The open flags of a stdio mode string.
int open_flags(const char* mode_string) {
  const bool update = strchr(mode_string, '+') != nullptr;
  switch (mode_string[0]) {
    case 'r':
      return update ? O_RDWR : O_RDONLY;
    case 'a':
      return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
      return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
  }
}

// Creates the missing directories of a relative path one by one beneath the
// installation, each owned like the directory it is made in.
int ensure_parent_dir_beneath(int root, char* path) {
  char* slash = strrchr(path, '/');
  if (!slash) return kOk;
  *slash = '\0';
  struct stat st;
  int rv = kOk;
  // Most parents exist: one resolution instead of one per level.
  if (stat_beneath(root, path, &st, true) != 0 || !S_ISDIR(st.st_mode)) {
    rv = ensure_parent_dir_beneath(root, path);
    if (rv == kOk && mkdir_beneath(root, path, 0755) != 0 && errno != EEXIST) {
      int err = errno;
      LOG("ensure_parent_dir: failed to create directory: %s, err: %d", path, err);
      rv = kWriteError;
    }
  }
  *slash = '/';
  return rv;
}

}  // namespace

void make_owner_writable(int root, const char* path) {
  BeneathPath p(root, path);
  struct stat st;
  // A link's own mode means nothing, and following it could reach a file
  // outside the installation.
  if (!p.ok() || fstatat(p.dir(), p.name(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) {
    return;
  }
  if (!(st.st_mode & S_IWUSR)) {
    // Where the C library cannot refuse to follow (no /proc), the name was
    // just seen not to be a link.
    if (fchmodat(p.dir(), p.name(), st.st_mode | S_IWUSR, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == EOPNOTSUPP) {
      fchmodat(p.dir(), p.name(), st.st_mode | S_IWUSR, 0);
    }
  }
}

FILE* open_with_mode(int root, const char* path, const char* mode_string, mode_t mode,
                     const struct stat* owner) {
  const bool read_only = is_read_only_mode(mode_string);
  // Reading needs no write permission: a read leaves the file as it is.
  if (!read_only) make_owner_writable(root, path);
  // Never blocking in open on a FIFO in a file's place, and never reading or
  // writing one, a socket or a device (a directory fails at its first read).
  int fd = open_beneath(root, path,
                        open_flags(mode_string) | O_NONBLOCK | (read_only ? 0 : O_NOFOLLOW), 0666);
  if (fd < 0) return nullptr;
  struct stat opened;
  int err = fstat(fd, &opened) != 0                              ? errno
            : S_ISREG(opened.st_mode) || S_ISDIR(opened.st_mode) ? 0
                                                                 : EINVAL;
  if (err != 0) {
    close(fd);
    errno = err;
    return nullptr;
  }
  FILE* f = fdopen(fd, mode_string);
  if (!f) {
    close(fd);
    return nullptr;
  }
  if (read_only) return f;
  // The owner first: a change of owner clears set-id bits that the mode sets.
  if (owner) {
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_uid != owner->st_uid || st.st_gid != owner->st_gid) &&
        fchown(fd, owner->st_uid, owner->st_gid) != 0 && errno != EPERM) {
      fclose(f);
      return nullptr;
    }
  }
  struct stat st;
  if (fchmod(fd, mode) != 0 || fstat(fd, &st) != 0 || st.st_mode != mode) {
    fclose(f);
    return nullptr;
  }
  return f;
}

int ensure_parent_dir(int root, char* path) {
  if (path[0] != '/') return ensure_parent_dir_beneath(root, path);
  char* slash = strrchr(path, '/');
  if (!slash) return kOk;
  *slash = '\0';
  int rv = ensure_parent_dir(root, path);
  struct stat st;
  // One that is there ("." and ".." included) stays as it is.
  if (rv == kOk && path[0] != '\0' && !(stat(path, &st) == 0 && S_ISDIR(st.st_mode))) {
    // Outside the installation too (a recreated update directory), owned as
    // the directory it is made in.
    char name[NAME_MAX + 1];
    ScopedFd parent(open_parent_dir(AT_FDCWD, path, name));
    if ((!parent.ok() || mkdir_owned_at(parent.get(), name, 0755) != 0) && errno != EEXIST) {
      int err = errno;
      LOG("ensure_parent_dir: failed to create directory: %s, err: %d", path, err);
      rv = kWriteError;
    }
  }
  *slash = '/';
  return rv;
}

int ensure_remove(int root, const char* path) {
  make_owner_writable(root, path);
  int rv = remove_beneath(root, path);
  if (rv != 0) {
    int err = errno;
    LOG("ensure_remove: failed to remove file: %s, rv: %d, err: %d", path, rv, err);
  }
  return rv;
}

namespace {

constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

int remove_entry(int dir, const char* name, bool is_dir);

// Removes the entries of the directory open for reading as `fd`, which it
// closes, but the one named `keep` (may be null).
int clear_dir(int fd, const char* keep) {
  DIR* dir = fdopendir(fd);
  if (!dir) {
    int err = errno;
    close(fd);
    LOG("remove_tree: failed to read a directory, err: %d", err);
    return -1;
  }
  int rv = 0;
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir);
    if (!entry) {
      if (errno != 0) {
        int err = errno;
        LOG("remove_tree: failed to read a directory, err: %d", err);
        rv = -1;
      }
      break;
    }
    const char* name = entry->d_name;
    if (!strcmp(name, ".") || !strcmp(name, "..") || (keep && !strcmp(name, keep))) continue;
    bool is_dir = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN;
    if (remove_entry(::dirfd(dir), name, is_dir) != 0) rv = -1;
  }
  closedir(dir);
  return rv;
}

// Removes the entry `name` of `dir`, believed a directory when `is_dir`. The
// belief only picks the first attempt: what the calls find decides.
int remove_entry(int dir, const char* name, bool is_dir) {
  if (!is_dir) {
    if (unlinkat(dir, name, 0) == 0) return 0;
    if (errno != EISDIR) {
      int err = errno;
      LOG("remove_tree: failed to remove: %s, err: %d", name, err);
      return -1;
    }
  }
  int fd = openat(dir, name, kOpenDirFlags);
  if (fd < 0) {
    int err = errno;
    // No longer a directory (a link or file took its place): that name goes.
    if ((err == ENOTDIR || err == ELOOP) && unlinkat(dir, name, 0) == 0) return 0;
    LOG("remove_tree: failed to open the directory: %s, err: %d", name, err);
    return -1;
  }
  int rv = clear_dir(fd, nullptr);
  if (rv == 0 && unlinkat(dir, name, AT_REMOVEDIR) != 0) {
    int err = errno;
    LOG("remove_tree: failed to remove the directory: %s, err: %d", name, err);
    rv = -1;
  }
  return rv;
}

}  // namespace

int remove_entries_at(int dirfd, const char* keep) {
  // A descriptor of its own to read from: the caller's may be O_PATH, and
  // "." is never a link.
  int fd = openat(dirfd, ".", kOpenDirFlags);
  if (fd < 0) {
    int err = errno;
    LOG("remove_tree: failed to open a directory, err: %d", err);
    return -1;
  }
  return clear_dir(fd, keep);
}

int remove_tree_at(int dirfd, const char* name) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  return remove_entry(dirfd, name, S_ISDIR(st.st_mode));
}

int ensure_remove_recursive(int root, const char* path) {
  char name[NAME_MAX + 1];
  ScopedFd dir(open_parent_dir(root, path, name));
  return dir.ok() ? remove_tree_at(dir.get(), name) : -1;
}

int rename_file(int root, const char* src, char* dst, bool check_type) {
  int rv = ensure_parent_dir(root, dst);
  if (rv != kOk) return rv;

  struct stat st;
  if (stat_beneath(root, src, &st, true) != 0) {
    int err = errno;
    // A dangling link is still a file that can be moved (a backed-up link
    // whose target went to its own backup must be able to come back), and so
    // is one that leads outside: the link moves, not what it names.
    if (stat_beneath(root, src, &st, false) != 0 || !S_ISLNK(st.st_mode)) {
      LOG("rename_file: failed to read file status info: %s, err: %d", src, err);
      return kReadError;
    }
  }
  if (!S_ISREG(st.st_mode)) {
    if (check_type && !S_ISDIR(st.st_mode)) {
      int err = errno;
      LOG("rename_file: path present, but not a file: %s, err: %d", src, err);
      return kUnexpectedType;
    }
    LOG("rename_file: proceeding to rename the directory");
  }

  if (entry_exists(root, dst) && ensure_remove(root, dst) != 0) {
    int err = errno;
    LOG("rename_file: destination file exists and could not be removed: %s, err: %d", dst, err);
    return kWriteError;
  }
  if (rename_beneath(root, src, dst) != 0) {
    int err = errno;
    LOG("rename_file: failed to rename file - src: %s, dst:%s, err: %d", src, dst, err);
    return kWriteError;
  }
  return kOk;
}

int backup_create(int root, const char* path) {
  char backup[kMaxPath];
  if (!backup_path(backup, path, "backup_create")) return kWriteError;
  return rename_file(root, path, backup, false);
}

int backup_restore(int root, const char* path) {
  char backup[kMaxPath];
  if (!backup_path(backup, path, "backup_restore")) return kWriteError;
  if (!entry_exists(root, backup)) {
    LOG("backup_restore: backup file doesn't exist: %s", backup);
    return kOk;
  }
  // rename_file may write into its destination buffer; keep `path` untouched.
  char target[kMaxPath];
  snprintf(target, sizeof(target), "%s", path);
  return rename_file(root, backup, target, false);
}

int backup_delete(int root, const char* path) {
  char backup[kMaxPath];
  if (!backup_path(backup, path, "backup_delete")) return kWriteError;
  if (!entry_exists(root, backup)) return kOk;
  return ensure_remove(root, backup) == 0 ? kOk : kWriteError;
}

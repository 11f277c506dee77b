#include "fileops/fileops.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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
bool entry_exists(const char* path) {
  struct stat st;
  return stat_beneath(path, &st, false) == 0;
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
int ensure_parent_dir_beneath(char* path) {
  char* slash = strrchr(path, '/');
  if (!slash) return kOk;
  *slash = '\0';
  struct stat st;
  int rv = kOk;
  // Most parents exist: one resolution instead of one per level.
  if (stat_beneath(path, &st, true) != 0 || !S_ISDIR(st.st_mode)) {
    rv = ensure_parent_dir_beneath(path);
    if (rv == kOk && mkdir_beneath(path, 0755) != 0 && errno != EEXIST) {
      int err = errno;
      LOG("ensure_parent_dir: failed to create directory: %s, err: %d", path, err);
      rv = kWriteError;
    }
  }
  *slash = '/';
  return rv;
}

}  // namespace

void make_owner_writable(const char* path) {
  BeneathPath p(path);
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

FILE* open_with_mode(const char* path, const char* mode_string, mode_t mode,
                     const struct stat* owner) {
  const bool read_only = is_read_only_mode(mode_string);
  // Reading needs no write permission: a read leaves the file as it is.
  if (!read_only) make_owner_writable(path);
  // Never blocking in open on a FIFO in a file's place, and never reading or
  // writing one, a socket or a device (a directory fails at its first read).
  int fd =
      open_beneath(path, open_flags(mode_string) | O_NONBLOCK | (read_only ? 0 : O_NOFOLLOW), 0666);
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

int ensure_parent_dir(char* path) {
  if (path[0] != '/') return ensure_parent_dir_beneath(path);
  char* slash = strrchr(path, '/');
  if (!slash) return kOk;
  *slash = '\0';
  int rv = ensure_parent_dir(path);
  if (rv == kOk && path[0] != '\0') {
    if (mkdir(path, 0755) != 0 && errno != EEXIST) {
      int err = errno;
      LOG("ensure_parent_dir: failed to create directory: %s, err: %d", path, err);
      rv = kWriteError;
    }
  }
  *slash = '/';
  return rv;
}

int ensure_remove(const char* path) {
  make_owner_writable(path);
  int rv = remove_beneath(path);
  if (rv != 0) {
    int err = errno;
    LOG("ensure_remove: failed to remove file: %s, rv: %d, err: %d", path, rv, err);
  }
  return rv;
}

int ensure_remove_recursive(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) return ensure_remove(path);

  DIR* dir = opendir(path);
  if (!dir) {
    int err = errno;
    LOG("ensure_remove_recursive: path is not a directory: %s, rv: %d, err: %d", path, 0, err);
    // The tree is still there: that is a failure, not a success.
    return -1;
  }
  int rv = 0;
  while (dirent* entry = readdir(dir)) {
    if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
    char child[kMaxPath];
    if (!join_path(child, path, entry->d_name)) {
      // A cut name could lie outside this tree.
      LOG("ensure_remove_recursive: path too long: %s/%s", path, entry->d_name);
      rv = -1;
      break;
    }
    rv = ensure_remove_recursive(child);
    if (rv != 0) break;
  }
  closedir(dir);
  if (rv != 0) return rv;

  make_owner_writable(path);
  if (rmdir(path) != 0) {
    int err = errno;
    LOG("ensure_remove_recursive: path is not a directory: %s, rv: %d, err: %d", path, -1, err);
    return -1;
  }
  return 0;
}

int rename_file(const char* src, char* dst, bool check_type) {
  int rv = ensure_parent_dir(dst);
  if (rv != kOk) return rv;

  struct stat st;
  if (stat_beneath(src, &st, true) != 0) {
    int err = errno;
    // A dangling link is still a file that can be moved (a backed-up link
    // whose target went to its own backup must be able to come back), and so
    // is one that leads outside: the link moves, not what it names.
    if (stat_beneath(src, &st, false) != 0 || !S_ISLNK(st.st_mode)) {
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

  if (entry_exists(dst) && ensure_remove(dst) != 0) {
    int err = errno;
    LOG("rename_file: destination file exists and could not be removed: %s, err: %d", dst, err);
    return kWriteError;
  }
  if (rename_beneath(src, dst) != 0) {
    int err = errno;
    LOG("rename_file: failed to rename file - src: %s, dst:%s, err: %d", src, dst, err);
    return kWriteError;
  }
  return kOk;
}

int backup_create(const char* path) {
  char backup[kMaxPath];
  if (!backup_path(backup, path, "backup_create")) return kWriteError;
  return rename_file(path, backup, false);
}

int backup_restore(const char* path) {
  char backup[kMaxPath];
  if (!backup_path(backup, path, "backup_restore")) return kWriteError;
  if (!entry_exists(backup)) {
    LOG("backup_restore: backup file doesn't exist: %s", backup);
    return kOk;
  }
  // rename_file may write into its destination buffer; keep `path` untouched.
  char target[kMaxPath];
  snprintf(target, sizeof(target), "%s", path);
  return rename_file(backup, target, false);
}

int backup_delete(const char* path) {
  char backup[kMaxPath];
  if (!backup_path(backup, path, "backup_delete")) return kWriteError;
  if (!entry_exists(backup)) return kOk;
  return ensure_remove(backup) == 0 ? kOk : kWriteError;
}

int ensure_copy_symlink(const char* link, const char* new_link) {
  // One byte more than the longest accepted target, so that a longer one is
  // detected instead of being cut into a different link.
  char target[kMaxPath + 1] = {};
  ssize_t n = readlink(link, target, sizeof(target));
  if (n < 0 || static_cast<size_t>(n) > kMaxPath) {
    int err = n < 0 ? errno : ENAMETOOLONG;
    LOG("ensure_copy_symlink: failed to read the link: %s, err: %d", link, err);
    return kReadError;
  }
  target[n] = '\0';
  if (symlink(target, new_link) != 0) {
    int err = errno;
    LOG("ensure_copy_symlink: failed to create the new link: %s, target: %s err: %d", new_link,
        target, err);
    return kReadError;
  }
  return kOk;
}

#include "fileops/beneath.h"

#include <errno.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/update_log.h"

namespace {

// As the kernel's limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

// The directory `dir` (relative to `base`), opened for *at calls by the
// kernel's own beneath resolution.
int OpenDirBeneath(int base, const char* dir) {
#ifdef SYS_openat2
  struct open_how how = {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(syscall(SYS_openat2, base, dir, &how, sizeof(how)));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// Failures of openat2 that the walk decides again: a kernel or filter without
// it, and an absolute link, which openat2 refuses even when it leads inside.
bool NeedsWalk(int err) {
  return err == ENOSYS || err == EXDEV || err == EPERM || err == EINVAL || err == E2BIG;
}

// The part of the absolute link target `target` below the directory `base`
// (with its leading slash, or "" for the directory itself); null when the
// target lies elsewhere. Compared by whole components: "<dir>2" is not inside.
const char* BelowBase(int base, const char* target) {
  char root[PATH_MAX];
  if (base == AT_FDCWD) {
    if (!getcwd(root, sizeof(root))) return nullptr;
  } else {
    char link[32];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", base);
    ssize_t n = readlink(link, root, sizeof(root) - 1);
    if (n <= 0) return nullptr;
    root[n] = '\0';
  }
  size_t len = strcmp(root, "/") == 0 ? 0 : strlen(root);
  if (strncmp(target, root, len) != 0 || (target[len] != '/' && target[len] != '\0')) {
    return nullptr;
  }
  return target + len;
}

// Gives dir/name the owner and group of `like` unless it has them already.
int ChownLike(int dir, const char* name, const struct stat& like) {
  struct stat have;
  if (fstatat(dir, name, &have, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (have.st_uid == like.st_uid && have.st_gid == like.st_gid) return 0;
  if (fchownat(dir, name, like.st_uid, like.st_gid, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  // Only root may give a file away; anyone else's files are their own anyway.
  return errno == EPERM ? 0 : -1;
}

}  // namespace

int walk_beneath(int base, const char* path, bool follow, char* name) {
  char rest[PATH_MAX];
  int n = snprintf(rest, sizeof(rest), "%s", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(rest)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (rest[0] == '/') {
    errno = EXDEV;
    return -1;
  }
  // Directories opened below `base`, the innermost last: ".." pops one, and
  // popping past `base` would leave the installation.
  std::vector<int> opened;
  auto current = [&] { return opened.empty() ? base : opened.back(); };
  auto fail = [&](int err) {
    for (int fd : opened) close(fd);
    errno = err;
    return -1;
  };
  int links = 0;
  const char* p = rest;
  for (;;) {
    while (*p == '/') ++p;
    if (*p == '\0') {
      strcpy(name, ".");
      break;
    }
    size_t len = strcspn(p, "/");
    if (len > NAME_MAX) return fail(ENAMETOOLONG);
    char component[NAME_MAX + 1];
    memcpy(component, p, len);
    component[len] = '\0';
    const char* after = p + len;
    const bool last = after[strspn(after, "/")] == '\0';
    p = after;
    if (!strcmp(component, ".")) continue;
    if (!strcmp(component, "..")) {
      if (opened.empty()) return fail(EXDEV);
      close(opened.back());
      opened.pop_back();
      continue;
    }
    if (last && !follow) {
      strcpy(name, component);
      break;
    }
    int fd = openat(current(), component, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      // A missing last component is a name still to be created.
      if (last && errno == ENOENT) {
        strcpy(name, component);
        break;
      }
      return fail(errno);
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      int err = errno;
      close(fd);
      return fail(err);
    }
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      ssize_t got = readlinkat(fd, "", target, sizeof(target) - 1);
      close(fd);
      if (got < 0) return fail(errno);
      if (++links > kMaxLinks) return fail(ELOOP);
      target[got] = '\0';
      const char* rel = target;
      if (target[0] == '/') {
        rel = BelowBase(base, target);
        if (!rel) return fail(EXDEV);
        for (int d : opened) close(d);
        opened.clear();
      }
      // The target takes the link's place in what is left to resolve.
      char joined[PATH_MAX];
      int m = snprintf(joined, sizeof(joined), "%s%s", rel, after);
      if (m < 0 || static_cast<size_t>(m) >= sizeof(joined)) return fail(ENAMETOOLONG);
      memcpy(rest, joined, static_cast<size_t>(m) + 1);
      p = rest;
      continue;
    }
    if (last) {
      close(fd);
      strcpy(name, component);
      break;
    }
    if (!S_ISDIR(st.st_mode)) {
      close(fd);
      return fail(ENOTDIR);
    }
    opened.push_back(fd);
  }
  int dir = current();
  if (!opened.empty()) opened.pop_back();
  for (int fd : opened) close(fd);
  return dir;
}

BeneathPath::BeneathPath(int root, const char* path, bool follow) {
  if (path[0] == '/') {
    dir_ = AT_FDCWD;
    name_ = path;
    follow_as_is_ = follow;
    ok_ = true;
    return;
  }
  const int base = root >= 0 ? root : AT_FDCWD;
  const char* slash = strrchr(path, '/');
  bool resolved = false;
  if (!slash) {
    dir_ = base;
    name_ = path;
    resolved = true;
  } else if (slash[1] != '\0' && static_cast<size_t>(slash - path) < sizeof(buffer_)) {
    memcpy(buffer_, path, slash - path);
    buffer_[slash - path] = '\0';
    int fd = OpenDirBeneath(base, buffer_);
    if (fd >= 0) {
      dir_ = fd;
      owned_ = true;
      name_ = slash + 1;
      resolved = true;
    } else if (!NeedsWalk(errno)) {
      return;
    }
  }
  struct stat st;
  if (resolved && follow && fstatat(dir_, name_, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    if (owned_) close(dir_);
    owned_ = false;
    resolved = false;
  }
  if (!resolved) {
    int fd = walk_beneath(base, path, follow, buffer_);
    if (fd == -1) {
      int err = errno;
      if (err == EXDEV) LOG("path leads outside the installation: %s", path);
      dir_ = -1;
      errno = err;
      return;
    }
    dir_ = fd;
    owned_ = fd != base;
    name_ = buffer_;
  }
  ok_ = true;
}

BeneathPath::~BeneathPath() {
  if (owned_) close(dir_);
}

int open_parent_dir(int root, const char* path, char* name) {
  char buf[PATH_MAX];
  int n = snprintf(buf, sizeof(buf), "%s", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(buf)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  while (n > 1 && buf[n - 1] == '/') buf[--n] = '\0';
  char* slash = strrchr(buf, '/');
  const char* last = slash ? slash + 1 : buf;
  if (*last == '\0' || !strcmp(last, ".") || !strcmp(last, "..")) {
    errno = EINVAL;
    return -1;
  }
  if (strlen(last) > NAME_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (buf[0] != '/') {
    BeneathPath p(root, buf);
    if (!p.ok()) return -1;
    snprintf(name, NAME_MAX + 1, "%s", p.name());
    return p.dir() == AT_FDCWD ? open(".", O_PATH | O_DIRECTORY | O_CLOEXEC)
                               : fcntl(p.dir(), F_DUPFD_CLOEXEC, 0);
  }
  snprintf(name, NAME_MAX + 1, "%s", last);
  if (slash == buf) return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  *slash = '\0';
  return open(buf, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int stat_beneath(int root, const char* path, struct stat* st, bool follow) {
  BeneathPath p(root, path, follow);
  return p.ok() ? fstatat(p.dir(), p.name(), st, p.at_flags()) : -1;
}

int access_beneath(int root, const char* path, int amode) {
  BeneathPath p(root, path, true);
  return p.ok() ? faccessat(p.dir(), p.name(), amode, 0) : -1;
}

int open_beneath(int root, const char* path, int flags, mode_t mode) {
  BeneathPath p(root, path, !(flags & O_NOFOLLOW));
  return p.ok() ? openat(p.dir(), p.name(), flags | p.open_flags() | O_CLOEXEC, mode) : -1;
}

int remove_beneath(int root, const char* path) {
  BeneathPath p(root, path);
  if (!p.ok()) return -1;
  if (unlinkat(p.dir(), p.name(), 0) == 0) return 0;
  return errno == EISDIR ? unlinkat(p.dir(), p.name(), AT_REMOVEDIR) : -1;
}

int rmdir_beneath(int root, const char* path) {
  BeneathPath p(root, path);
  return p.ok() ? unlinkat(p.dir(), p.name(), AT_REMOVEDIR) : -1;
}

int rename_beneath(int root, const char* src, const char* dst) {
  BeneathPath from(root, src), to(root, dst);
  return from.ok() && to.ok() ? renameat(from.dir(), from.name(), to.dir(), to.name()) : -1;
}

int mkdir_beneath(int root, const char* path, mode_t mode) {
  BeneathPath p(root, path);
  if (!p.ok() || mkdirat(p.dir(), p.name(), mode) != 0) return -1;
  struct stat parent;
  if (p.dir() != AT_FDCWD && fstat(p.dir(), &parent) == 0) ChownLike(p.dir(), p.name(), parent);
  return 0;
}

int inherit_owner(int root, const char* path, const struct stat* like) {
  BeneathPath p(root, path);
  if (!p.ok()) return -1;
  struct stat parent;
  if (!like) {
    int rv;
    if (p.dir() != AT_FDCWD) {
      rv = fstat(p.dir(), &parent);
    } else {
      // An absolute path: its directory by name.
      char dir[PATH_MAX];
      snprintf(dir, sizeof(dir), "%s", path);
      char* slash = strrchr(dir, '/');
      if (slash == dir) slash[1] = '\0';
      if (slash && slash != dir) *slash = '\0';
      rv = stat(dir, &parent);
    }
    if (rv != 0) return -1;
    like = &parent;
  }
  return ChownLike(p.dir(), p.name(), *like);
}

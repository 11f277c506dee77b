#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"

namespace {

constexpr size_t kCopyBufferSize = 0x8000;
// O_NONBLOCK: opening a pipe must not wait for a writer before fstat can
// refuse it.
constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int kOpenFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// ASCII only: the locale (which the window may set) must not change which
// names are left out.
bool equals_ignoring_ascii_case(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = ca - 'A' + 'a';
    if (cb >= 'A' && cb <= 'Z') cb = cb - 'A' + 'a';
    if (ca != cb) return false;
    if (ca == '\0') return true;
  }
}

// One entry on both sides: its directories open, its name in each, and its
// paths, which serve only the skip rules and the log.
struct Entry {
  int src_dir;
  const char* src_name;
  int dst_dir;
  const char* dst_name;
  const char* src;
  const char* dst;
};

// What one copy shares from its first entry to its last.
struct CopyWalk {
  char (*skip_paths)[kMaxPath];
  const char* also_skip;
  std::unique_ptr<char[]> buffer;
};

// Writes all of `size` bytes; false when a write fails or makes no progress.
bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Copies up to `size` bytes from the current offset of `in_fd` to that of
// `out_fd` inside the kernel, advancing both. Stops at the first refusal or
// failure, or when the source ends early, leaving the rest to the caller.
void copy_in_kernel(int in_fd, int out_fd, off_t size) {
  while (size > 0) {
    ssize_t n = copy_file_range(in_fd, nullptr, out_fd, nullptr, static_cast<size_t>(size), 0);
    if (n <= 0) return;
    size -= n;
  }
}

// Gives the open `fd` the owner and group of `like` unless it has them; a
// process that may not give files away (EPERM) leaves them. 0 or -1.
int chown_like(int fd, const struct stat& like) {
  struct stat have;
  if (fstat(fd, &have) != 0) return -1;
  if (have.st_uid == like.st_uid && have.st_gid == like.st_gid) return 0;
  return fchown(fd, like.st_uid, like.st_gid) == 0 || errno == EPERM ? 0 : -1;
}

// Creates the destination file afresh. An existing file or link of that name
// is replaced, never opened: its target may be anything.
int create_file(int dir, const char* name) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(dir, name, kFlags, 0600);
  if (fd < 0 && errno == EEXIST && unlinkat(dir, name, 0) == 0)
    fd = openat(dir, name, kFlags, 0600);
  return fd;
}

// Copies the link e.src_name as a link, with its owner when `owned`.
int copy_link(const Entry& e, bool owned) {
  // Opened once: the target and the owner are those of the same link.
  ScopedFd link(openat(e.src_dir, e.src_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  // One byte more than the longest accepted target, so that a longer one is
  // detected instead of being cut into a different link.
  char target[kMaxPath + 1] = {};
  ssize_t n = -1;
  if (link.ok() && fstat(link.get(), &st) == 0) {
    // Not a link any more: never read through.
    if (!S_ISLNK(st.st_mode)) errno = EINVAL;
    if (S_ISLNK(st.st_mode)) n = readlinkat(link.get(), "", target, sizeof(target));
  }
  if (n < 0 || static_cast<size_t>(n) > kMaxPath) {
    int err = n < 0 ? errno : ENAMETOOLONG;
    LOG("ensure_copy_symlink: failed to read the link: %s, err: %d", e.src, err);
    return kReadError;
  }
  target[n] = '\0';
  if (symlinkat(target, e.dst_dir, e.dst_name) != 0) {
    int err = errno;
    LOG("ensure_copy_symlink: failed to create the new link: %s, target: %s err: %d", e.dst, target,
        err);
    return kReadError;
  }
  if (owned) {
    // The link just made, by descriptor: whatever takes its name meanwhile
    // keeps its owner.
    ScopedFd made(openat(e.dst_dir, e.dst_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat have;
    if (made.ok() && fstat(made.get(), &have) == 0 && S_ISLNK(have.st_mode) &&
        (have.st_uid != st.st_uid || have.st_gid != st.st_gid)) {
      fchownat(made.get(), "", st.st_uid, st.st_gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    }
  }
  return kOk;
}

int copy_file(CopyWalk* walk, const Entry& e) {
  ScopedFd in(openat(e.src_dir, e.src_name, kOpenFileFlags));
  // A link in the file's place is copied as the link, never followed.
  if (!in.ok() && errno == ELOOP) return copy_link(e, true);
  struct stat st;
  if (!in.ok() || fstat(in.get(), &st) != 0) {
    int err = errno;
    LOG("ensure_copy: failed to open the file for reading: %s, err: %d", e.src, err);
    return kReadError;
  }
  if (!S_ISREG(st.st_mode)) {
    // Reading a pipe or a device can block for ever; its type could never be
    // reproduced by a plain file anyway.
    LOG("ensure_copy: not a regular file: %s", e.src);
    return kWriteError;
  }
  if (!walk->buffer) walk->buffer.reset(new (std::nothrow) char[kCopyBufferSize]);
  if (!walk->buffer) return kFileNoMemory;

  ScopedFd out(create_file(e.dst_dir, e.dst_name));
  // The owner first: a change of owner clears set-id bits that the mode sets.
  struct stat made;
  if (!out.ok() || chown_like(out.get(), st) != 0 || fchmod(out.get(), st.st_mode) != 0 ||
      fstat(out.get(), &made) != 0 || made.st_mode != st.st_mode) {
    int err = errno;
    LOG("ensure_copy: failed to open the file for writing: %s, err: %d", e.dst, err);
    return kWriteError;
  }
  copy_in_kernel(in.get(), out.get(), st.st_size);
  // Whatever the kernel did not copy (all of it where it refused, the rest
  // after a failure, anything beyond the size seen) goes through the buffer
  // from where it stopped, which also reports a failure as such.
  for (;;) {
    ssize_t n = read(in.get(), walk->buffer.get(), kCopyBufferSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      LOG("ensure_copy: failed to read the file: %s, err: %d", e.src, err);
      return kReadError;
    }
    if (n == 0) break;
    if (!write_all(out.get(), walk->buffer.get(), static_cast<size_t>(n))) {
      int err = errno;
      LOG("ensure_copy: failed to write the file: %s, err: %d", e.dst, err);
      return kWriteError;
    }
  }
  // Writing may have cleared set-id bits.
  if (fchmod(out.get(), st.st_mode) != 0 || close(out.release()) != 0) {
    int err = errno;
    LOG("ensure_copy: failed to write the file: %s, err: %d", e.dst, err);
    return kWriteError;
  }
  return kOk;
}

int copy_entry(CopyWalk* walk, const Entry& e, unsigned char type);

int copy_dir(CopyWalk* walk, const Entry& e) {
  ScopedFd in(openat(e.src_dir, e.src_name, kOpenDirFlags));
  struct stat st;
  if (!in.ok() || fstat(in.get(), &st) != 0) {
    int err = errno;
    LOG("ensure_copy_recursive: path is not a directory: %s, rv: %d, err: %d", e.src, -1, err);
    return kReadError;
  }
  bool made = mkdirat(e.dst_dir, e.dst_name, st.st_mode & 07777) == 0;
  if (!made && errno != EEXIST) {
    int err = errno;
    LOG("ensure_copy_recursive: could not create destination directory: %s, rv: %d, err: %d", e.dst,
        -1, err);
    return kWriteError;
  }
  // Never through a link: an existing name is merged into only when it is a
  // directory itself.
  ScopedFd out(openat(e.dst_dir, e.dst_name, kOpenDirFlags));
  if (!out.ok()) {
    int err = errno;
    LOG("ensure_copy_recursive: destination is not a directory: %s, err: %d", e.dst, err);
    return kWriteError;
  }
  if (made) chown_like(out.get(), st);
  DIR* dir = fdopendir(in.get());
  if (!dir) {
    int err = errno;
    LOG("ensure_copy_recursive: path is not a directory: %s, rv: %d, err: %d", e.src, -1, err);
    return kReadError;
  }
  in.release();
  int result = kOk;
  for (;;) {
    // readdir reports the end and a failure alike with null; only errno tells
    // them apart, and a failure taken for the end would leave a copy with
    // entries missing that passes for complete.
    errno = 0;
    dirent* entry = readdir(dir);
    if (!entry) {
      if (errno != 0) {
        int err = errno;
        LOG("ensure_copy_recursive: failed to read the directory: %s, err: %d", e.src, err);
        result = kReadError;
      }
      break;
    }
    const char* name = entry->d_name;
    if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
    char child_src[kMaxPath];
    if (!join_path(child_src, e.src, name)) {
      LOG("ensure_copy_recursive: path too long: %s/%s", e.src, name);
      result = kReadError;
      break;
    }
    if (equals_ignoring_ascii_case(child_src, walk->skip_paths[0]) ||
        equals_ignoring_ascii_case(child_src, walk->skip_paths[1]) ||
        (walk->also_skip && !strcmp(child_src, walk->also_skip))) {
      continue;
    }
    char child_dst[kMaxPath];
    if (!join_path(child_dst, e.dst, name)) {
      LOG("ensure_copy_recursive: path too long: %s/%s", e.dst, name);
      result = kWriteError;
      break;
    }
    result =
        copy_entry(walk, {dirfd(dir), name, out.get(), name, child_src, child_dst}, entry->d_type);
    if (result != kOk) break;
  }
  closedir(dir);
  return result;
}

// `type` is the directory entry's (DT_*), only a hint: each copy checks what
// it opens.
int copy_entry(CopyWalk* walk, const Entry& e, unsigned char type) {
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (fstatat(e.src_dir, e.src_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      int err = errno;
      LOG("ensure_copy_recursive: path doesn't exist: %s, rv: %d, err: %d", e.src, -1, err);
      return kReadError;
    }
    type = IFTODT(st.st_mode);
  }
  switch (type) {
    case DT_DIR:
      return copy_dir(walk, e);
    case DT_LNK:
      return copy_link(e, true);
    case DT_REG:
      return copy_file(walk, e);
    default:
      LOG("ensure_copy: not a regular file: %s", e.src);
      return kWriteError;
  }
}

// Opens the directories holding `src` and `dst` and runs `copy` on the entry.
template <typename Copy>
int with_entry(int root, const char* src, const char* dst, const char* op, Copy copy) {
  char src_name[NAME_MAX + 1], dst_name[NAME_MAX + 1];
  if (strlen(src) >= kMaxPath) {
    LOG("%s: path too long: %s", op, src);
    return kReadError;
  }
  if (strlen(dst) >= kMaxPath) {
    LOG("%s: path too long: %s", op, dst);
    return kWriteError;
  }
  ScopedFd src_dir(open_parent_dir(root, src, src_name));
  if (!src_dir.ok()) {
    int err = errno;
    LOG("%s: path doesn't exist: %s, err: %d", op, src, err);
    return kReadError;
  }
  ScopedFd dst_dir(open_parent_dir(root, dst, dst_name));
  if (!dst_dir.ok()) {
    int err = errno;
    LOG("%s: could not open the destination's directory: %s, err: %d", op, dst, err);
    return kWriteError;
  }
  return copy({src_dir.get(), src_name, dst_dir.get(), dst_name, src, dst});
}

}  // namespace

int ensure_copy_symlink(int root, const char* link, const char* new_link) {
  return with_entry(root, link, new_link, "ensure_copy_symlink",
                    [](const Entry& e) { return copy_link(e, false); });
}

int ensure_copy(int root, const char* src, const char* dst) {
  CopyWalk walk{nullptr, nullptr, nullptr};
  return with_entry(root, src, dst, "ensure_copy", [&walk](const Entry& e) {
    struct stat st;
    if (fstatat(e.src_dir, e.src_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      int err = errno;
      LOG("ensure_copy: failed to read file status info: %s, err: %d", e.src, err);
      return static_cast<int>(kReadError);
    }
    // A directory is refused by copy_file's own check of what it opened.
    return S_ISLNK(st.st_mode) ? copy_link(e, true) : copy_file(&walk, e);
  });
}

int ensure_copy_recursive(int root, const char* src, const char* dst,
                          char skip_paths[2][kMaxPath]) {
  return ensure_copy_recursive_skipping(root, src, dst, skip_paths, nullptr);
}

int ensure_copy_recursive_skipping(int root, const char* src, const char* dst,
                                   char skip_paths[2][kMaxPath], const char* also_skip) {
  CopyWalk walk{skip_paths, also_skip, nullptr};
  return with_entry(root, src, dst, "ensure_copy_recursive",
                    [&walk](const Entry& e) { return copy_entry(&walk, e, DT_UNKNOWN); });
}

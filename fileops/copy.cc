#include <dirent.h>
#include <errno.h>
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

// Writes all of `size` bytes; false when a write makes no progress.
bool write_all(FILE* f, const char* data, size_t size) {
  while (size > 0) {
    size_t n = fwrite(data, 1, size, f);
    if (n == 0) return false;
    data += n;
    size -= n;
  }
  return true;
}

// Copies up to `size` bytes from the current offset of `in_fd` to that of
// `out_fd` inside the kernel, advancing both, before either stream has
// buffered anything. Stops at the first refusal or failure, or when the source
// ends early, leaving the rest to the caller.
void copy_in_kernel(int in_fd, int out_fd, off_t size) {
  while (size > 0) {
    ssize_t n = copy_file_range(in_fd, nullptr, out_fd, nullptr, static_cast<size_t>(size), 0);
    if (n <= 0) return;
    size -= n;
  }
}

// A copied link keeps the owner of the original, as a copied file does.
int copy_symlink_owned(const char* src, const char* dst, const struct stat& st) {
  int rv = ensure_copy_symlink(src, dst);
  if (rv == kOk) inherit_owner(dst, &st);
  return rv;
}

}  // namespace

int ensure_copy(const char* src, const char* dst) {
  struct stat st;
  if (lstat(src, &st) != 0) {
    int err = errno;
    LOG("ensure_copy: failed to read file status info: %s, err: %d", src, err);
    return kReadError;
  }
  if (S_ISLNK(st.st_mode)) return copy_symlink_owned(src, dst, st);
  if (!S_ISREG(st.st_mode)) {
    // Opening a pipe or a device for reading can block for ever; its type
    // could never be reproduced by a plain file anyway.
    LOG("ensure_copy: not a regular file: %s", src);
    return kWriteError;
  }

  ScopedFile in(open_with_mode(src, "rb", st.st_mode));
  if (!in) {
    int err = errno;
    LOG("ensure_copy: failed to open the file for reading: %s, err: %d", src, err);
    return kReadError;
  }
  ScopedFile out(open_with_mode(dst, "wb", st.st_mode, &st));
  if (!out) {
    int err = errno;
    LOG("ensure_copy: failed to open the file for writing: %s, err: %d", dst, err);
    return kWriteError;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
  if (!buffer) return kFileNoMemory;

  copy_in_kernel(fileno(in.get()), fileno(out.get()), st.st_size);
  // Whatever the kernel did not copy (all of it where it refused, the rest
  // after a failure, anything beyond the size seen) goes through the buffer
  // from where it stopped, which also reports a failure as such.
  while (!feof(in.get())) {
    size_t n = fread(buffer.get(), 1, kCopyBufferSize, in.get());
    if (ferror(in.get())) {
      int err = errno;
      LOG("ensure_copy: failed to read the file: %s, err: %d", src, err);
      return kReadError;
    }
    if (!write_all(out.get(), buffer.get(), n)) {
      int err = errno;
      LOG("ensure_copy: failed to write the file: %s, err: %d", dst, err);
      return kWriteError;
    }
  }
  // Buffered bytes reach the file only here; a full disk must not pass for a
  // complete copy.
  if (out.close() != 0) {
    int err = errno;
    LOG("ensure_copy: failed to write the file: %s, err: %d", dst, err);
    return kWriteError;
  }
  return chmod(dst, st.st_mode);
}

int ensure_copy_recursive(const char* src, const char* dst, char skip_paths[2][kMaxPath]) {
  return ensure_copy_recursive_skipping(src, dst, skip_paths, nullptr);
}

int ensure_copy_recursive_skipping(const char* src, const char* dst, char skip_paths[2][kMaxPath],
                                   const char* also_skip) {
  struct stat st;
  if (lstat(src, &st) != 0) {
    int err = errno;
    LOG("ensure_copy_recursive: path doesn't exist: %s, rv: %d, err: %d", src, -1, err);
    return kReadError;
  }
  if (S_ISLNK(st.st_mode)) return copy_symlink_owned(src, dst, st);
  if (!S_ISDIR(st.st_mode)) return ensure_copy(src, dst);

  int rv = mkdir(dst, st.st_mode);
  if (rv == 0) inherit_owner(dst, &st);
  if (rv != 0 && errno != EEXIST) {
    int err = errno;
    LOG("ensure_copy_recursive: could not create destination directory: %s, rv: %d, err: %d", dst,
        -1, err);
    return kWriteError;
  }
  DIR* dir = opendir(src);
  if (!dir) {
    int err = errno;
    LOG("ensure_copy_recursive: path is not a directory: %s, rv: %d, err: %d", src, rv, err);
    return kReadError;
  }
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
        LOG("ensure_copy_recursive: failed to read the directory: %s, err: %d", src, err);
        result = kReadError;
      }
      break;
    }
    if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, "..")) continue;
    char child_src[kMaxPath];
    if (!join_path(child_src, src, entry->d_name)) {
      LOG("ensure_copy_recursive: path too long: %s/%s", src, entry->d_name);
      result = kReadError;
      break;
    }
    if (equals_ignoring_ascii_case(child_src, skip_paths[0]) ||
        equals_ignoring_ascii_case(child_src, skip_paths[1]) ||
        (also_skip && !strcmp(child_src, also_skip))) {
      continue;
    }
    char child_dst[kMaxPath];
    if (!join_path(child_dst, dst, entry->d_name)) {
      LOG("ensure_copy_recursive: path too long: %s/%s", dst, entry->d_name);
      result = kWriteError;
      break;
    }
    result = ensure_copy_recursive_skipping(child_src, child_dst, skip_paths, also_skip);
    if (result != kOk) break;
  }
  closedir(dir);
  return result;
}

#include "actions/manifest.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/paths.h"
#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"

namespace {

// True when every directory that the relative `path` passes through lies
// inside the working directory, the directory being updated, once symbolic
// links are followed. Links between parts of the installation keep working;
// one that leads elsewhere would carry writes and removals out of it. The
// path is cut at each "/" in turn and restored.
bool DirectoriesStayInside(char* path) {
  char* slash = strchr(path, '/');
  if (!slash) return true;
  char base[PATH_MAX];
  if (!realpath(".", base)) return false;
  const size_t base_len = strcmp(base, "/") == 0 ? 0 : strlen(base);
  bool inside = true;
  for (; slash && inside; slash = strchr(slash + 1, '/')) {
    *slash = '\0';
    struct stat st;
    const bool exists = lstat(path, &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
      char target[PATH_MAX];
      inside = realpath(path, target) && strncmp(target, base, base_len) == 0 &&
               (target[base_len] == '/' || target[base_len] == '\0');
    }
    *slash = '/';
    // Missing directories are created later as real ones; nothing below them
    // exists to lead elsewhere.
    if (!exists) break;
  }
  return inside;
}

}  // namespace

std::unique_ptr<char[]> GetManifestContents(int root, const char* path, int* error) {
  int unused;
  if (!error) error = &unused;
  *error = kReadError;
  // Non-blocking: a FIFO in its place must not hold the run.
  int fd = open_beneath(root, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    LOG("GetManifestContents: error opening manifest file: %s, err: %d", path, err);
    return nullptr;
  }
  std::unique_ptr<char[]> text = ReadManifestFile(fd, path, error);
  close(fd);
  return text;
}

std::unique_ptr<char[]> ReadManifestFile(int fd, const char* path, int* error) {
  int unused;
  if (!error) error = &unused;
  *error = kReadError;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    LOG("GetManifestContents: error stating manifest file: %s, err: %d", path, err);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    LOG("GetManifestContents: not a regular file: %s", path);
    return nullptr;
  }
  if (static_cast<uint64_t>(st.st_size) > kMaxManifestSize) {
    LOG("GetManifestContents: manifest larger than %zu bytes: %s", kMaxManifestSize, path);
    *error = kParseError;
    return nullptr;
  }
  size_t size = static_cast<size_t>(st.st_size);
  std::unique_ptr<char[]> text(new (std::nothrow) char[size + 1]);
  if (!text) {
    *error = kFileNoMemory;
    return nullptr;
  }

  size_t done = 0;
  while (done < size) {
    ssize_t got = pread(fd, text.get() + done, size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      int err = got == 0 ? EIO : errno;
      LOG("GetManifestContents: error reading manifest file: %s, err: %d", path, err);
      return nullptr;
    }
    done += static_cast<size_t>(got);
  }
  text[size] = '\0';
  *error = kOk;
  return text;
}

char* next_token(const char* delimiters, char** cursor) {
  char* p = *cursor;
  if (!p || *p == '\0') return nullptr;
  while (*p != '\0' && strchr(delimiters, *p)) ++p;
  if (*p == '\0') {
    *cursor = p;
    return nullptr;
  }
  char* token = p;
  // strchr would also match the terminating NUL, so test for it first.
  while (*p != '\0' && !strchr(delimiters, *p)) ++p;
  if (*p == '\0') {
    *cursor = nullptr;
  } else {
    *p = '\0';
    *cursor = p + 1;
  }
  return token;
}

char* check_path_rules(char* path, bool is_dir) {
  if (path[0] == '/') {
    LOG("get_valid_path: path must be relative: %s", path);
    return nullptr;
  }
  if (is_dir) {
    size_t len = strlen(path);
    if (len == 0 || path[len - 1] != '/') {
      LOG("get_valid_path: directory paths must have a trailing forward slash: %s", path);
      return nullptr;
    }
    path[len - 1] = '\0';
  }
  if (strstr(path, "..")) {
    LOG("get_valid_path: paths must not contain '..': %s", path);
    return nullptr;
  }
  if (!DirectoriesStayInside(path)) {
    LOG("get_valid_path: path leads outside the installation through a symbolic link: %s", path);
    return nullptr;
  }
  return path;
}

char* get_valid_path(char** cursor, bool is_dir) {
  char* path = next_token(kQuoteDelimiter, cursor);
  if (!path) {
    // The cursor is null or at the end of the text by now: the rest is empty.
    LOG("get_valid_path: unable to determine path: %s", *cursor ? *cursor : "");
    return nullptr;
  }
  return check_path_rules(path, is_dir);
}

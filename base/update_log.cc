#include "base/update_log.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <memory>
#include <new>

#include "base/owned_file.h"

namespace {

// Writes the formatted message with every control byte as "\xNN" and "\" as
// "\\": a file name holding a line feed or an escape sequence must not be
// able to start a line of its own (a forged "succeeded") or rewrite one.
void WriteEscaped(FILE* file, const char* fmt, va_list ap) {
  char small[1024];
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(small, sizeof(small), fmt, ap);
  std::unique_ptr<char[]> large;
  const char* text = small;
  if (n >= static_cast<int>(sizeof(small))) {
    // Without the memory the message is cut rather than lost.
    large.reset(new (std::nothrow) char[n + 1]);
    if (large && vsnprintf(large.get(), n + 1, fmt, again) >= 0) text = large.get();
  }
  va_end(again);
  if (n < 0) return;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < 0x20 || *p == 0x7f) {
      fprintf(file, "\\x%02x", *p);
    } else {
      if (*p == '\\') putc('\\', file);
      putc(*p, file);
    }
  }
}

void ReportUnwritable(const char* path, int err) {
  fprintf(stderr, "updater: the update log cannot be written: %s, err: %d\n", path, err);
}

// Removes "<name>.tmp" in `dir` when it is a second name of the open log
// `log`: a creation through a link killed before it removed the temporary.
void DropCreationLink(int dir, const char* name, const struct stat& log) {
  char tmp[NAME_MAX + 1];
  int n = snprintf(tmp, sizeof(tmp), "%s.tmp", name);
  struct stat st;
  if (n > 0 && static_cast<size_t>(n) < sizeof(tmp) &&
      fstatat(dir, tmp, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == log.st_dev &&
      st.st_ino == log.st_ino) {
    unlinkat(dir, tmp, 0);
  }
}

// Creates the missing log `name` in `dir`, owned as `dir` from its first
// moment under that name. The descriptor, or -1 with errno.
int CreateOwned(int dir, const char* name) {
  char tmp[NAME_MAX + 1];
  int n = snprintf(tmp, sizeof(tmp), "%s.tmp", name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(tmp)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = open_owned_temp_at(dir, tmp, 0666);
  if (fd < 0) return -1;
  // Never replacing a log made meanwhile; a kill leaves at worst the
  // temporary, which the next call removes. A file system without the flag
  // takes a link, whose second name Open removes if a kill leaves it.
  int rv = renameat2(dir, tmp, dir, name, RENAME_NOREPLACE);
  if (rv != 0 && errno == EINVAL) {
    rv = linkat(dir, tmp, dir, name, 0);
    int err = errno;
    unlinkat(dir, tmp, 0);
    errno = err;
  }
  if (rv != 0) {
    int err = errno;
    unlinkat(dir, tmp, 0);
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

UpdateLog& UpdateLog::Instance() {
  // A function-local static is destroyed at exit, which closes the file.
  static UpdateLog instance;
  return instance;
}

UpdateLog::~UpdateLog() { Close(); }

bool UpdateLog::Adopt(int fd, bool append, const char* path) {
  file_ = fdopen(fd, append ? "a" : "w");
  if (!file_) {
    close(fd);
    return false;
  }
  error_ = 0;
  snprintf(path_, sizeof(path_), "%s", path);
  return true;
}

void UpdateLog::Open(int dir, const char* dir_path, const char* name, const char* alt_name,
                     bool append) {
  if (file_) return;
  if (dir < 0) {
    ReportUnwritable(dir_path, errno);
    return;
  }
  struct stat st;
  if (alt_name && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) name = alt_name;
  char path[1024];
  int n = snprintf(path, sizeof(path), "%s/%s", dir_path, name);
  // A cut path would name some other file in messages: better no log at all.
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) {
    ReportUnwritable(dir_path, ENAMETOOLONG);
    return;
  }
  // Never through a link, which could name a file outside the update, and
  // never blocking on a FIFO or writing to a device in its place.
  int fd =
      openat(dir, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0));
  // A second name could be a hard link planted to any file of that file
  // system, which a root run would then cut or append to; only the
  // temporary of a creation killed half-way is known to be the log's own.
  if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink == 2) DropCreationLink(dir, name, st);
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    close(fd);
    fd = -1;
    errno = EINVAL;
  } else if (fd >= 0 && !append && ftruncate(fd, 0) != 0) {
    int err = errno;
    close(fd);
    fd = -1;
    errno = err;
  } else if (fd < 0 && errno == ENOENT) {
    fd = CreateOwned(dir, name);
  }
  if (fd < 0 || !Adopt(fd, append, path)) ReportUnwritable(path, errno);
}

void UpdateLog::Open(const char* dir_path, const char* name, const char* alt_name, bool append) {
  if (file_) return;
  int dir = open(dir_path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  Open(dir, dir_path, name, alt_name, append);
  if (dir >= 0) close(dir);
}

void UpdateLog::OpenStandardError() {
  if (file_) return;
  int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd >= 0) Adopt(fd, true, "");
}

void UpdateLog::Log(const char* fmt, ...) {
  if (!file_) return;
  va_list ap;
  va_start(ap, fmt);
  WriteEscaped(file_, fmt, ap);
  va_end(ap);
  fputc('\n', file_);
  NoteError();
}

void UpdateLog::LogWarning(const char* fmt, ...) {
  if (!file_) return;
  fputs("*** Warning: ", file_);
  va_list ap;
  va_start(ap, fmt);
  WriteEscaped(file_, fmt, ap);
  va_end(ap);
  fputs("***\n", file_);
  NoteError();
}

void UpdateLog::NoteError() {
  if (!error_ && ferror(file_)) error_ = errno ? errno : EIO;
}

void UpdateLog::Flush() {
  if (!file_) return;
  fflush(file_);
  NoteError();
}

void UpdateLog::Close() {
  if (!file_) return;
  NoteError();
  if (fclose(file_) != 0 && !error_) error_ = errno;
  file_ = nullptr;
  if (error_) ReportUnwritable(path_, error_);
}

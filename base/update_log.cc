#include "base/update_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <memory>
#include <new>

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

}  // namespace

UpdateLog& UpdateLog::Instance() {
  // A function-local static is destroyed at exit, which closes the file.
  static UpdateLog instance;
  return instance;
}

UpdateLog::~UpdateLog() { Close(); }

void UpdateLog::Open(const char* dir, const char* name, const char* alt_name, bool append) {
  if (file_) return;
  char path[1024];
  int n = snprintf(path, sizeof(path), "%s/%s", dir, name);
  struct stat st;
  if (alt_name && lstat(path, &st) != 0) {
    n = snprintf(path, sizeof(path), "%s/%s", dir, alt_name);
  }
  // A cut path would name some other file: better no log at all.
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return;
  // Never through a link, which could name a file outside the update, and
  // never blocking on a FIFO or writing to a device in its place.
  int fd =
      open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0),
           0666);
  if (fd < 0) return;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (!append && ftruncate(fd, 0) != 0)) {
    close(fd);
    return;
  }
  file_ = fdopen(fd, append ? "a" : "w");
  if (!file_) {
    close(fd);
    return;
  }
  snprintf(path_, sizeof(path_), "%s", path);
}

void UpdateLog::Log(const char* fmt, ...) {
  if (!file_) return;
  va_list ap;
  va_start(ap, fmt);
  WriteEscaped(file_, fmt, ap);
  va_end(ap);
  fputc('\n', file_);
}

void UpdateLog::LogWarning(const char* fmt, ...) {
  if (!file_) return;
  fputs("*** Warning: ", file_);
  va_list ap;
  va_start(ap, fmt);
  WriteEscaped(file_, fmt, ap);
  va_end(ap);
  fputs("***\n", file_);
}

void UpdateLog::Flush() {
  if (file_) fflush(file_);
}

void UpdateLog::Close() {
  if (!file_) return;
  fclose(file_);
  file_ = nullptr;
}

#include "base/update_log.h"

#include <unistd.h>

#include <cstdarg>

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
  if (alt_name && access(path, F_OK) != 0) {
    n = snprintf(path, sizeof(path), "%s/%s", dir, alt_name);
  }
  // A cut path would name some other file: better no log at all.
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return;
  file_ = fopen(path, append ? "a" : "w");
}

void UpdateLog::Log(const char* fmt, ...) {
  if (!file_) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(file_, fmt, ap);
  va_end(ap);
  fputc('\n', file_);
}

void UpdateLog::LogWarning(const char* fmt, ...) {
  if (!file_) return;
  fputs("*** Warning: ", file_);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(file_, fmt, ap);
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

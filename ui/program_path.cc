#include "ui/program_path.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

ProgramPath::ProgramPath() {
  char resolved[sizeof(path_)];
  ssize_t n = readlink("/proc/self/exe", resolved, sizeof(resolved));
  // A cut path is no program path at all.
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(resolved)) return;
  resolved[n] = '\0';
  // The kernel's name for a removed executable is no place to look for files.
  static const char kDeleted[] = " (deleted)";
  if (n >= static_cast<ssize_t>(sizeof(kDeleted) - 1) &&
      strcmp(resolved + n - (sizeof(kDeleted) - 1), kDeleted) == 0) {
    return;
  }
  memcpy(path_, resolved, static_cast<size_t>(n) + 1);
}

bool ProgramPath::FormFileName(const char* suffix, char* buf, size_t size) const {
  if (!known()) return false;
  int n = snprintf(buf, size, "%s%s", path_, suffix);
  return n >= 0 && static_cast<size_t>(n) < size;
}

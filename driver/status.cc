#include "driver/status.h"

#include <cstdio>
#include <cstring>

#include "driver/run.h"
#include "fileops/durable.h"
#include "fileops/fileops.h"

bool WriteStatus(Run& run, const char* text) {
  snprintf(run.lastStatus, sizeof(run.lastStatus), "%s", text);
  char path[kMaxPath];
  int n = snprintf(path, sizeof(path), "%s/update.status", run.updateDir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return false;
  if (ensure_parent_dir(AT_FDCWD, path) != 0) return false;
  // Never truncated in place, never written through a link: a crash leaves
  // the old text or the new one.
  return replace_file_durably(path, text, strlen(text));
}

bool WriteStatusFailed(Run& run, int code) {
  char text[32];
  snprintf(text, sizeof(text), "failed: %d\n", code);
  return WriteStatus(run, text);
}

#include "driver/status.h"

#include <cstdio>
#include <cstring>

#include "base/run_settings.h"
#include "fileops/durable.h"
#include "fileops/fileops.h"

namespace {
char lastStatus[32] = "";
}  // namespace

const char* LastStatus() { return lastStatus; }

bool WriteStatus(const char* text) {
  snprintf(lastStatus, sizeof(lastStatus), "%s", text);
  char path[kMaxPath];
  int n = snprintf(path, sizeof(path), "%s/update.status", updateDir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return false;
  if (ensure_parent_dir(path) != 0) return false;
  // Never truncated in place, never written through a link: a crash leaves
  // the old text or the new one.
  return replace_file_durably(path, text, strlen(text));
}

bool WriteStatusFailed(int code) {
  char text[32];
  snprintf(text, sizeof(text), "failed: %d\n", code);
  return WriteStatus(text);
}

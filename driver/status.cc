#include "driver/status.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/run_settings.h"
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
  // Never through a link: the name is the caller's, the target could be anyone's.
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  FILE* f = fd >= 0 ? fdopen(fd, "wb+") : nullptr;
  if (!f) {
    if (fd >= 0) close(fd);
    return false;
  }
  size_t len = strlen(text);
  bool ok = fwrite(text, len, 1, f) == 1;
  // fwrite of a zero-length item reports 0 items; nothing was lost.
  if (len == 0) ok = true;
  // A buffered write can still fail when the stream is flushed at close.
  if (fclose(f) != 0) ok = false;
  return ok;
}

bool WriteStatusFailed(int code) {
  char text[32];
  snprintf(text, sizeof(text), "failed: %d\n", code);
  return WriteStatus(text);
}

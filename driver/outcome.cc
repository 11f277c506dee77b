#include "driver/outcome.h"

#include <cstdio>
#include <cstring>

#include "base/paths.h"
#include "base/update_log.h"
#include "driver/run.h"
#include "driver/status.h"

void ReportOutcome(const Run& run) {
  if (run.runSucceeded) {
    fputs("updater: succeeded\n", stderr);
    return;
  }
  const char* log = UpdateLog::Instance().Path();
  char see[kMaxPath + 8] = "";
  if (log[0]) snprintf(see, sizeof(see), " (see %s)", log);
  const char* status = run.lastStatus;
  int code = 0;
  if (sscanf(status, "failed: %d", &code) == 1) {
    fprintf(stderr, "updater: failed: %d%s\n", code, see);
  } else if (strcmp(status, kStatusPending) == 0) {
    // The replace request put the old installation back.
    fprintf(stderr, "updater: failed: the installation was not replaced, status pending%s\n", see);
  } else {
    fprintf(stderr, "updater: failed%s\n", see);
  }
}

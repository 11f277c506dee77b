#include "driver/run.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

Run::~Run() {
  if (applyTo >= 0 && applyTo != install) close(applyTo);
  if (install >= 0) close(install);
  if (archive >= 0) close(archive);
  for (int fd : locks) close(fd);
}

bool Run::ComputeInstallDir() {
  hasInstallDir = false;
  snprintf(installDir, sizeof(installDir), "%s", applyToDir);
  if (!isStagedUpdate && !isReplaceRequest) return hasInstallDir = true;
  char* slash = strrchr(installDir, '/');
  if (!slash) return false;
  if (slash[1] == '\0') {
    *slash = '\0';
    slash = strrchr(installDir, '/');
    if (!slash) return false;
  }
  *slash = '\0';
  return hasInstallDir = true;
}

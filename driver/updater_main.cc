#include "driver/updater_main.h"

#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/run_settings.h"
#include "base/update_log.h"
#include "driver/status.h"
#include "driver/update_run.h"
#include "fileops/fileops.h"
#include "ui/progress_ui.h"

namespace {

constexpr const char kUsage[] =
    "Usage: updater update-dir apply-to-dir [wait-pid [callback-working-dir callback-path "
    "args...]]\n";

void* UpdateThreadMain(void*) {
  DoUpdate();
  return nullptr;
}

// Prefixes a relative path with the starting directory, so that paths formed
// after the change into the apply-to directory still name the same place.
// False when the result does not fit.
bool MakeAbsolute(const char* in, char* out, size_t size) {
  if (in[0] == '/') {
    int n = snprintf(out, size, "%s", in);
    return n >= 0 && static_cast<size_t>(n) < size;
  }
  char cwd[kMaxPath];
  if (!getcwd(cwd, sizeof(cwd))) return false;
  int n = in[0] ? snprintf(out, size, "%s/%s", strcmp(cwd, "/") ? cwd : "", in)
                : snprintf(out, size, "%s", cwd);
  return n >= 0 && static_cast<size_t>(n) < size;
}

// Changes into applyToDir, creating it when it is missing.
bool EnterApplyToDir() {
  if (chdir(applyToDir) == 0) return true;
  if (mkdir(applyToDir, 0755) != 0) return false;
  return chdir(applyToDir) == 0;
}

}  // namespace

int UpdaterMain(int argc, char** argv) {
  PrepareProgressUI(&argc, &argv);

  if (argc < 3) {
    fputs(kUsage, stderr);
    return 1;
  }

  char applyTo[kMaxPath];
  snprintf(applyTo, sizeof(applyTo), "%s", argv[2]);
  char* slash = strrchr(applyTo, '/');
  if (slash && slash[1] == '\0' && slash != applyTo) *slash = '\0';
  if (!MakeAbsolute(argv[1], updateDir, sizeof(updateDir)) ||
      !MakeAbsolute(applyTo, applyToDir, sizeof(applyToDir))) {
    fputs("updater: the update or apply-to directory path is too long\n", stderr);
    return 1;
  }

  int pid = 0;
  if (argc > 3) {
    pid = atoi(argv[3]);
    if (pid == -1) {
      isStagedUpdate = true;
    } else if (strstr(argv[3], "/replace")) {
      isReplaceRequest = true;
    }
  }

  if (getenv("QUIL_OS_UPDATE")) {
    isOsUpdate = true;
    putenv(const_cast<char*>("QUIL_OS_UPDATE="));
  }

  UpdateLog& log = UpdateLog::Instance();
  if (isReplaceRequest) {
    char installDir[kMaxPath];
    if (!ComputeInstallDir(installDir)) {
      fputs("Could not get the installation directory\n", stderr);
      return 1;
    }
    char logDir[kMaxPath];
    int n = snprintf(logDir, sizeof(logDir), "%s/updated/updates", installDir);
    if (n >= 0 && static_cast<size_t>(n) < sizeof(logDir)) {
      log.Open(logDir, "last-update.log", "update.log", true);
    }
  } else {
    log.Open(updateDir, "update.log", nullptr, false);
  }

  if (!WriteStatus(kStatusApplying)) {
    LOG("failed setting status to 'applying'");
    return 1;
  }

  if (isStagedUpdate) {
    LOG("Performing a staged update");
  } else if (isReplaceRequest) {
    LOG("Performing a replace request");
  }

  if (pid > 0) waitpid(pid, nullptr, 0);

  if (isStagedUpdate) ensure_remove_recursive(applyToDir);

  if (!isReplaceRequest && !EnterApplyToDir()) {
    // Without a final status the caller would see an update in progress forever.
    int err = errno;
    LOG("failed to enter or create the apply-to directory: %s, err: %d", applyToDir, err);
    LOG("failed: %d", kWriteError);
    WriteStatusFailed(kWriteError);
    return 1;
  }

  LOG("SOURCE DIRECTORY %s", updateDir);
  LOG("DESTINATION DIRECTORY %s", applyToDir);

  pthread_t worker;
  int rv = pthread_create(&worker, nullptr, UpdateThreadMain, nullptr);
  if (rv != 0) {
    LOG("failed to start the update thread, err: %d", rv);
  } else {
    if (!isStagedUpdate && !isReplaceRequest) RunProgressUI();
    pthread_join(worker, nullptr);
  }

  if (argc > 5 && !getenv("QUIL_PROCESS_UPDATES")) {
    putenv(const_cast<char*>("NO_EM_RESTART="));
    putenv(const_cast<char*>("QUIL_LAUNCHED_CHILD=1"));
    if (chdir(argv[4]) != 0) LOG("Warning: chdir failed");
    log.Close();
    execv(argv[5], argv + 5);
  }

  log.Close();
  return runSucceeded ? 0 : 1;
}

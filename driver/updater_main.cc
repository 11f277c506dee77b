#include "driver/updater_main.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/run_settings.h"
#include "base/update_log.h"
#include "driver/command_line.h"
#include "driver/dry_run.h"
#include "driver/outcome.h"
#include "driver/recovery.h"
#include "driver/run_lock.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "driver/update_run.h"
#include "driver/verify_update.h"
#include "driver/wait_process.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"
#include "ui/progress_ui.h"

namespace {

void* UpdateThreadMain(void*) {
  DoUpdate();
  return nullptr;
}

// Changes into applyToDir, creating it when it is missing.
bool EnterApplyToDir() {
  if (chdir(applyToDir) == 0) return true;
  if (mkdir(applyToDir, 0755) != 0) return false;
  // Like every directory the update makes: owned as the one it is made in.
  inherit_owner(applyToDir, nullptr);
  return chdir(applyToDir) == 0;
}

// Reports the outcome, then relaunches the callback when one was given and not
// suppressed, whatever the outcome; otherwise (or when the relaunch fails)
// returns the exit code.
int FinishRun(int argc, char** argv, UpdateLog& log) {
  ReportOutcome();
  if (argc > 5 && !getenv("QUIL_PROCESS_UPDATES") && !stopRequested.load()) {
    putenv(const_cast<char*>("NO_EM_RESTART="));
    putenv(const_cast<char*>("QUIL_LAUNCHED_CHILD=1"));
    if (chdir(argv[4]) != 0) LOG("Warning: chdir failed");
    log.Close();
    RestoreSignalsForExec();
    execv(argv[5], argv + 5);
  }

  log.Close();
  return runSucceeded ? 0 : 1;
}

}  // namespace

int UpdaterMain(int argc, char** argv) {
  if (WantsDryRun(argc, argv)) return RunDryRun(argc, argv);
  CatchStopSignals();
  // GTK sees the program name alone: the callback's arguments are not its
  // options, and one of them could make it load a library.
  PrepareProgressUI(argv[0]);

  int pid = 0;
  CommandLineResult command = ReadCommandLine(argc, argv, &pid);
  if (command != CommandLineResult::kRun) {
    return command == CommandLineResult::kExitSuccess ? 0 : 1;
  }

  std::string lock_note;
  if (TakeRunLock(&lock_note) == RunLockResult::kBusy) {
    fprintf(stderr, "updater: another update is running on this installation: %s\n", applyToDir);
    return 1;
  }
  if (AcceptStagedCopy() != 0) {
    fprintf(stderr, "updater: the staged copy cannot be marked: %s\n", applyToDir);
    return 1;
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

  if (!lock_note.empty()) LOG("%s", lock_note.c_str());
  if (!WriteStatus(kStatusApplying)) {
    LOG("failed setting status to 'applying'");
    return 1;
  }

  if (isStagedUpdate) {
    LOG("Performing a staged update");
  } else if (isReplaceRequest) {
    LOG("Performing a replace request");
  }

  if (pid > 0) WaitForProcess(pid);

  if (int recovered = RecoverInstallation()) {
    LOG("failed: %d", recovered);
    WriteStatusFailed(recovered);
    return FinishRun(argc, argv, log);
  }

  // An update that may not be applied changes nothing, not even the staged copy.
  if (VerifyUpdate() != 0) return FinishRun(argc, argv, log);

  if (isStagedUpdate && ClearStagedDir() != 0) {
    LOG("failed: %d", kRecoveryFailed);
    WriteStatusFailed(kRecoveryFailed);
    return FinishRun(argc, argv, log);
  }

  if (!isReplaceRequest && !EnterApplyToDir()) {
    // Without a final status the caller would see an update in progress forever.
    int err = errno;
    LOG("failed to enter or create the apply-to directory: %s, err: %d", applyToDir, err);
    LOG("failed: %d", kWriteError);
    WriteStatusFailed(kWriteError);
    ReportOutcome();
    return 1;
  }

  // Every path of the installation resolves beneath this directory, whatever
  // becomes of the names leading to it; open until the process ends.
  if (!isReplaceRequest) set_install_dir(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));

  LOG("SOURCE DIRECTORY %s", updateDir);
  LOG("DESTINATION DIRECTORY %s", applyToDir);

  pthread_t worker;
  int rv = pthread_create(&worker, nullptr, UpdateThreadMain, nullptr);
  if (rv != 0) {
    // No worker will write a final status, so "applying" would stay for good.
    LOG("failed to start the update thread, err: %d", rv);
    LOG("failed: %d", kNoThread);
    WriteStatusFailed(kNoThread);
  } else {
    if (!isStagedUpdate && !isReplaceRequest) RunProgressUI();
    pthread_join(worker, nullptr);
  }

  return FinishRun(argc, argv, log);
}

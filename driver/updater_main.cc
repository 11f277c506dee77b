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
#include "driver/update_archive.h"
#include "driver/update_run.h"
#include "driver/verify_update.h"
#include "driver/wait_process.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"
#include "ui/program_path.h"
#include "ui/progress_ui.h"

namespace {

void* UpdateThreadMain(void* files) {
  DoUpdate(*static_cast<const RunFiles*>(files));
  return nullptr;
}

// Whether `path` still names the directory open on `fd`.
bool NamesDirectory(const char* path, int fd) {
  struct stat opened, named;
  return fd >= 0 && fstat(fd, &opened) == 0 && stat(path, &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The apply-to directory, open (O_PATH) and the working directory: the
// installation open on `install` itself for an ordinary update; for a staged
// one its directory of that name in the installation, created when missing.
// -1 with errno on failure.
int EnterApplyToDir(int install) {
  int dir = install;
  if (isStagedUpdate) {
    const char* name = strrchr(applyToDir, '/');
    name = name ? name + 1 : applyToDir;
    if (mkdirat(install, name, 0755) == 0) {
      // Like every directory the update makes: owned as the one it is made in.
      inherit_owner(applyToDir, nullptr);
    }
    dir = openat(install, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (dir < 0 || fchdir(dir) != 0) return -1;
  return dir;
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
  const ProgramPath program;
  ProgressWindow window(LegacyProgress(), &program);
  // GTK sees the program name alone: the callback's arguments are not its
  // options, and one of them could make it load a library.
  window.Prepare(argv[0]);

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

  // The installation, opened once while the lock guarantees that its path
  // names it: after the wait the run works only through this descriptor, so
  // that a link put in the installation's place meanwhile leads nowhere.
  // Open until the process ends.
  char installDir[kMaxPath] = "";
  int install = -1;
  if (!isReplaceRequest && ComputeInstallDir(installDir)) {
    install = open(installDir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (!isStagedUpdate) set_install_dir(install);
  }

  if (getenv("QUIL_OS_UPDATE")) {
    isOsUpdate = true;
    putenv(const_cast<char*>("QUIL_OS_UPDATE="));
  }

  UpdateLog& log = UpdateLog::Instance();
  if (isReplaceRequest) {
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

  // None opened: there is none to enter, which the run reports (7) below.
  if (install >= 0 && !NamesDirectory(installDir, install)) {
    LOG("the installation directory is no longer the one locked for the update: %s", installDir);
    LOG("failed: %d", kNoInstallDir);
    WriteStatusFailed(kNoInstallDir);
    return FinishRun(argc, argv, log);
  }

  if (int recovered = RecoverInstallation()) {
    LOG("failed: %d", recovered);
    WriteStatusFailed(recovered);
    return FinishRun(argc, argv, log);
  }
  // Recovery itself may have moved an interrupted replace request's old
  // installation back in place of the empty directory the lock made.
  if (install >= 0 && !NamesDirectory(installDir, install)) {
    close(install);
    install = open(installDir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (!isStagedUpdate) set_install_dir(install);
  }

  // Read once, from here on through this descriptor alone. One that cannot
  // be opened (logged) fails the check or the run with 6, as a missing one.
  RunFiles files;
  if (!isReplaceRequest) {
    char archive[kMaxPath];
    int n = snprintf(archive, sizeof(archive), "%s/update.qex", updateDir);
    if (n >= 0 && static_cast<size_t>(n) < sizeof(archive)) {
      OpenUpdateArchive(archive, &files.archive);
    }
  }

  // An update that may not be applied changes nothing, not even the staged copy.
  if (VerifyUpdate(files.archive, program) != 0) return FinishRun(argc, argv, log);

  if (isStagedUpdate && ClearStagedDir() != 0) {
    LOG("failed: %d", kRecoveryFailed);
    WriteStatusFailed(kRecoveryFailed);
    return FinishRun(argc, argv, log);
  }

  if (!isReplaceRequest && (files.apply_to = EnterApplyToDir(install)) < 0) {
    // Without a final status the caller would see an update in progress forever.
    int err = errno;
    LOG("failed to enter or create the apply-to directory: %s, err: %d", applyToDir, err);
    LOG("failed: %d", kWriteError);
    WriteStatusFailed(kWriteError);
    // A staged copy that ClearStagedDir began is thrown away.
    RemoveRunJournal(kWriteError);
    ReportOutcome();
    return 1;
  }

  // Every path of the installation resolves beneath this directory, whatever
  // becomes of the names leading to it (recovery resolves beneath its own).
  if (!isReplaceRequest) set_install_dir(files.apply_to);

  LOG("SOURCE DIRECTORY %s", updateDir);
  LOG("DESTINATION DIRECTORY %s", applyToDir);

  pthread_t worker;
  int rv = pthread_create(&worker, nullptr, UpdateThreadMain, &files);
  if (rv != 0) {
    // No worker will write a final status, so "applying" would stay for good.
    LOG("failed to start the update thread, err: %d", rv);
    LOG("failed: %d", kNoThread);
    WriteStatusFailed(kNoThread);
  } else {
    if (!isStagedUpdate && !isReplaceRequest) window.Run();
    pthread_join(worker, nullptr);
    window.SetRunSucceeded(runSucceeded);
  }

  return FinishRun(argc, argv, log);
}

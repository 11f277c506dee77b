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
#include <vector>

#include "base/update_log.h"
#include "driver/command_line.h"
#include "driver/dry_run.h"
#include "driver/outcome.h"
#include "driver/recovery.h"
#include "driver/run.h"
#include "driver/run_lock.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "driver/swap.h"
#include "driver/update_archive.h"
#include "driver/update_run.h"
#include "driver/verify_update.h"
#include "driver/wait_process.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"
#include "ui/program_path.h"
#include "ui/progress_ui.h"

namespace {

void* UpdateThreadMain(void* run) {
  DoUpdate(*static_cast<Run*>(run));
  return nullptr;
}

// Whether `path` still names the directory open on `fd`.
bool NamesDirectory(const char* path, int fd) {
  struct stat opened, named;
  return fd >= 0 && fstat(fd, &opened) == 0 && stat(path, &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The apply-to directory, open (O_PATH) and the working directory: the
// installation open on run.install itself for an ordinary update; for a staged
// one its directory of that name in the installation, created when missing.
// -1 with errno on failure.
int EnterApplyToDir(const Run& run) {
  int dir = run.install;
  if (run.isStagedUpdate) {
    const char* name = strrchr(run.applyToDir, '/');
    name = name ? name + 1 : run.applyToDir;
    if (mkdirat(run.install, name, 0755) == 0) {
      // Like every directory the update makes: owned as the one it is made in.
      inherit_owner(AT_FDCWD, run.applyToDir, nullptr);
    }
    dir = openat(run.install, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (dir < 0 || fchdir(dir) != 0) return -1;
  return dir;
}

// The staged copy's "updates", where a replace request logs, opened (O_PATH)
// beneath the installation without following a link: the copy is its
// owner's to change. -1 with errno.
int OpenReplaceLogDir(const char* installDir) {
  ScopedFd install(open(installDir, O_PATH | O_DIRECTORY | O_CLOEXEC));
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  ScopedFd staged(install.ok() ? openat(install.get(), "updated", kFlags) : -1);
  return staged.ok() ? openat(staged.get(), "updates", kFlags) : -1;
}

// Reports the outcome, then relaunches the callback when one was given and not
// suppressed, whatever the outcome; otherwise (or when the relaunch fails)
// returns the exit code.
int FinishRun(const Run& run, UpdateLog& log) {
  ReportOutcome(run);
  if (!run.callbackArgv.empty() && !run.noCallback && !run.StopRequested()) {
    putenv(const_cast<char*>("NO_EM_RESTART="));
    putenv(const_cast<char*>("QUIL_LAUNCHED_CHILD=1"));
    if (chdir(run.callbackDir.c_str()) != 0) LOG("Warning: chdir failed");
    log.Close();
    RestoreSignalsForExec();
    std::vector<char*> args;
    for (const std::string& arg : run.callbackArgv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
  }

  log.Close();
  return run.runSucceeded ? 0 : 1;
}

}  // namespace

int ApplyUpdate(Run& run, ProgressWindow* window) {
  std::string lock_note;
  if (TakeRunLock(run, &lock_note) == RunLockResult::kBusy) {
    fprintf(stderr, "updater: another update is running on this installation: %s\n",
            run.applyToDir);
    return 1;
  }
  if (AcceptStagedCopy(run) != 0) {
    fprintf(stderr, "updater: the staged copy cannot be marked: %s\n", run.applyToDir);
    return 1;
  }

  // The installation, opened once while the lock guarantees that its path
  // names it: after the wait the run works only through this descriptor, so
  // that a link put in the installation's place meanwhile leads nowhere.
  // Open until the run ends.
  const char* installDir = run.installDir;
  if (!run.isReplaceRequest && run.hasInstallDir) {
    run.install = open(installDir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  }

  // Read into the run; the callback must not inherit it.
  if (run.isOsUpdate) putenv(const_cast<char*>("QUIL_OS_UPDATE="));

  UpdateLog& log = UpdateLog::Instance();
  if (run.isReplaceRequest) {
    if (!run.hasInstallDir) {
      fputs("Could not get the installation directory\n", stderr);
      return 1;
    }
    std::string logDir = std::string(installDir) + "/updated/updates";
    ScopedFd dir(OpenReplaceLogDir(installDir));
    log.Open(dir.get(), logDir.c_str(), "last-update.log", "update.log", true);
  } else {
    log.Open(run.updateDir, "update.log", nullptr, false);
  }

  if (!lock_note.empty()) LOG("%s", lock_note.c_str());
  if (!WriteStatus(run, kStatusApplying)) {
    LOG("failed setting status to 'applying'");
    return 1;
  }

  if (run.isStagedUpdate) {
    LOG("Performing a staged update");
  } else if (run.isReplaceRequest) {
    LOG("Performing a replace request");
  }

  if (run.waitPid > 0) WaitForProcess(run.waitPid);

  // None opened: there is none to enter, which the run reports (7) below.
  if (run.install >= 0 && !NamesDirectory(installDir, run.install)) {
    LOG("the installation directory is no longer the one locked for the update: %s", installDir);
    LOG("failed: %d", kNoInstallDir);
    WriteStatusFailed(run, kNoInstallDir);
    return FinishRun(run, log);
  }

  if (int recovered = RecoverInstallation(run)) {
    LOG("failed: %d", recovered);
    WriteStatusFailed(run, recovered);
    return FinishRun(run, log);
  }
  // Recovery itself may have moved an interrupted replace request's old
  // installation back in place of the empty directory the lock made.
  if (run.install >= 0 && !NamesDirectory(installDir, run.install)) {
    close(run.install);
    run.install = open(installDir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  }

  // Read once, from here on through this descriptor alone. One that cannot
  // be opened (logged) fails the check or the run with 6, as a missing one.
  if (!run.isReplaceRequest) {
    char archive[kMaxPath];
    int n = snprintf(archive, sizeof(archive), "%s/update.qex", run.updateDir);
    if (n >= 0 && static_cast<size_t>(n) < sizeof(archive)) {
      OpenUpdateArchive(archive, &run.archive);
    }
  }

  // An update that may not be applied changes nothing, not even the staged copy.
  if (VerifyUpdate(run) != 0) return FinishRun(run, log);
  if (window && !run.settingsFile.empty()) window->UseStringsFile(run.settingsFile.c_str());

  if (run.isStagedUpdate && ClearStagedDir(run) != 0) {
    LOG("failed: %d", kRecoveryFailed);
    WriteStatusFailed(run, kRecoveryFailed);
    return FinishRun(run, log);
  }

  if (!run.isReplaceRequest && (run.applyTo = EnterApplyToDir(run)) < 0) {
    // Without a final status the caller would see an update in progress forever.
    int err = errno;
    LOG("failed to enter or create the apply-to directory: %s, err: %d", run.applyToDir, err);
    LOG("failed: %d", kWriteError);
    WriteStatusFailed(run, kWriteError);
    // A staged copy that ClearStagedDir began is thrown away.
    RemoveRunJournal(run, kWriteError);
    ReportOutcome(run);
    return 1;
  }

  LOG("SOURCE DIRECTORY %s", run.updateDir);
  LOG("DESTINATION DIRECTORY %s", run.applyToDir);

  pthread_t worker;
  int rv = pthread_create(&worker, nullptr, UpdateThreadMain, &run);
  if (rv != 0) {
    // No worker will write a final status, so "applying" would stay for good.
    LOG("failed to start the update thread, err: %d", rv);
    LOG("failed: %d", kNoThread);
    WriteStatusFailed(run, kNoThread);
  } else {
    if (window && !run.isStagedUpdate && !run.isReplaceRequest) window->Run();
    pthread_join(worker, nullptr);
    if (window) window->SetRunSucceeded(run.runSucceeded);
  }

  return FinishRun(run, log);
}

int UpdaterMain(int argc, char** argv, const char* system_config_dir) {
  Run run;
  run.systemConfigDir = system_config_dir;
  CommandLineResult command = ReadCommandLine(argc, argv, &run);
  if (command != CommandLineResult::kRun) {
    return command == CommandLineResult::kExitSuccess ? 0 : 1;
  }
  if (run.check) return RunDryRun(run);
  CatchStopSignals();
  run.stopFlag = StopFlag();
  ProgressWindow window(&run.progress, &run.programPath);
  // GTK sees the program name alone: the callback's arguments are not its
  // options, and one of them could make it load a library.
  window.Prepare(run.programName.c_str());
  return ApplyUpdate(run, &window);
}

// One run of the updater as a value: what the command line asked for, what
// the driver opened for it, and what the run found and did. ReadCommandLine
// (driver/command_line.h) builds it once; every step of the driver receives
// it, and the actions receive the part they use as an UpdateContext. Nothing
// of a run lives anywhere else, so a test can build one and run it.
#ifndef UPDATER_DRIVER_RUN_H_
#define UPDATER_DRIVER_RUN_H_

#include <atomic>
#include <string>
#include <vector>

#include "actions/update_context.h"
#include "base/paths.h"
#include "base/progress.h"
#include "fileops/run_backup.h"
#include "ui/program_path.h"

// What recovery found before the run, and what the run's journal and swap
// left, for the steps that follow.
struct RecoveryState {
  // The identity of a committed run that recovery finished: the same update
  // started again has nothing left to apply (UpdateAlreadyApplied).
  std::string recoveredCommit;
  // An interrupted replace request had already swapped the staged copy in.
  bool swapDone = false;
  // This run wrote a journal of its own (over any that recovery kept).
  bool journalBegun = false;
  // The rollback of this run left backups in place: its journal stays for
  // the next run to finish the undo.
  bool rollbackIncomplete = false;
  // The staged copy could not be moved in and the old installation not moved
  // back: the status must not claim a rollback.
  bool swapStranded = false;
};

struct Run {
  Run() = default;
  // Closes the descriptors below; the locks go with them.
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // The request, from the command line and the environment; fixed once read.
  std::string programName;  // argv[0], for GTK alone
  // The running executable, read once: an embedded updater's keys and
  // settings are beside it.
  ProgramPath programPath;
  // A packaged updater's configuration directory, fixed when it was built
  // (driver/verify_update.h); null for an embedded updater.
  const char* systemConfigDir = nullptr;
  // Update directory (holds update.qex, update.status, update.log), absolute.
  char updateDir[kMaxPath] = "";
  // Directory the update is applied to, absolute; the working directory
  // during the run.
  char applyToDir[kMaxPath] = "";
  bool isStagedUpdate = false;
  bool isReplaceRequest = false;
  bool isOsUpdate = false;  // QUIL_OS_UPDATE
  // updater --check [--json]: report what the update would do, change nothing.
  bool check = false;
  bool json = false;
  // The process to wait for before the run begins; 0: none.
  int waitPid = 0;
  // The program relaunched after the run (execv), its arguments first the
  // path; empty: none. It starts in `callbackDir`.
  std::string callbackDir;
  std::vector<std::string> callbackArgv;
  // No relaunch: QUIL_PROCESS_UPDATES, or a replace request that fell back.
  bool noCallback = false;
  bool noReplaceFallback = false;  // QUIL_NO_REPLACE_FALLBACK
  // The installation directory (ComputeInstallDir): applyToDir itself for an
  // ordinary update, its parent for a staged update or a replace request.
  // Valid only when hasInstallDir.
  char installDir[kMaxPath] = "";
  bool hasInstallDir = false;

  // The flag a stop signal sets (driver/signals.h); null: never stopped.
  const std::atomic<bool>* stopFlag = nullptr;
  bool StopRequested() const { return stopFlag && stopFlag->load(); }

  // Fills installDir and hasInstallDir from applyToDir and the mode: false
  // when no parent can be derived (no "/" in the path).
  bool ComputeInstallDir();

  // What the driver opened for the run; -1 until then. Each stays open until
  // the run ends (close-on-exec: a relaunched program gets none).
  int install = -1;        // the installation, opened (O_PATH) under the lock
  int applyTo = -1;        // the apply-to directory; `install` itself for an ordinary update
  int archive = -1;        // update.qex (OpenUpdateArchive): every read of the run goes to it
  std::vector<int> locks;  // TakeRunLock's; a lock lasts as long as its descriptor

  // What the run found and did.
  char lastStatus[32] = "";  // the text of the last WriteStatus, written or not
  // The application's trusted settings file (VerifyUpdate), which also holds
  // the window's strings; empty: those beside the program.
  std::string settingsFile;
  RecoveryState recovery;
  // The run's backups and its journal, which outlive the action list.
  RunBackups backups;
  // Set by the worker when the run succeeded; read after the join.
  bool runSucceeded = false;
  // Shared by the worker (writer) and the progress window (reader).
  Progress progress;
  // What the actions see of the run, filled in by RunUpdate.
  UpdateContext context;
};

#endif  // UPDATER_DRIVER_RUN_H_

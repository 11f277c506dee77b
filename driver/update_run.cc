#include "driver/update_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "actions/action.h"
#include "actions/entry_predecoder.h"
#include "actions/manifest.h"
#include "actions/manifest_parser.h"
#include "actions/update_context.h"
#include "archive/archive_reader.h"
#include "archive/qex_sign.h"
#include "base/progress.h"
#include "base/run_settings.h"
#include "base/update_log.h"
#include "driver/recovery.h"
#include "driver/status.h"
#include "driver/work_dir.h"
#include "fileops/durable.h"
#include "fileops/fileops.h"
#include "fileops/journal.h"
#include "fileops/run_backup.h"

namespace {

// snprintf into a kMaxPath buffer; false when the result would be cut.
template <typename... Args>
bool FormatPath(char (&out)[kMaxPath], const char* fmt, Args... args) {
  int n = snprintf(out, kMaxPath, fmt, args...);
  return n >= 0 && static_cast<size_t>(n) < kMaxPath;
}

// Copies the installation into applyToDir, leaving out the staged copy itself,
// "updates/0" and the apply-to directory wherever it lies.
int MakeStagedCopy() {
  char installDir[kMaxPath];
  if (!ComputeInstallDir(installDir)) return kNoInstallDir;
  char skip[2][kMaxPath];
  if (!FormatPath(skip[0], "%s/%s", installDir, "updated") ||
      !FormatPath(skip[1], "%s/%s", installDir, "updates/0")) {
    return kNoInstallDir;
  }
  return ensure_copy_recursive_skipping(installDir, applyToDir, skip, applyToDir);
}

// The SHA-256 of the run's archive: exactly the bytes the run reads.
bool ArchiveIdentity(int archive, std::string* identity) {
  bool ok = qex_file_sha256(archive, identity);
  if (!ok) LOG("failed to read the archive for its identity: %s/update.qex", updateDir);
  return ok;
}

// The ordinary and staged run. Returns the run's result.
int RunUpdate(const RunFiles& files) {
  int rv = gArchiveReader.OpenDescriptor(files.archive);
  if (rv != 0) return rv;

  if (isStagedUpdate && !isOsUpdate) {
    rv = MakeStagedCopy();
    if (rv == 0 && stopRequested.load()) rv = kStopSignal;
    if (rv != 0) {
      gArchiveReader.Close();
      return rv;
    }
  }

  int work_dir = -1;
  rv = MakeWorkDir(files.apply_to, &work_dir);
  if (rv != 0) {
    gArchiveReader.Close();
    return rv;
  }

  std::unique_ptr<char[]> text;
  rv = ExtractManifest(&gArchiveReader, work_dir, &text);
  if (rv != 0) {
    LOG("DoUpdate: error extracting manifest file");
    text.reset();
  }

  // The run's backups and journal, which outlive the list.
  RunBackups backups;
  // The update's identity: the digest of the whole archive.
  std::string identity;
  if (text && !ArchiveIdentity(files.archive, &identity)) rv = kReadError;
  bool undone = true;
  if (rv == 0 && text && UpdateAlreadyApplied(identity)) {
    LOG("the interrupted run had already applied this update");
    runSucceeded = true;
  } else if (rv == 0 && text && (rv = BeginRunJournal(&backups.journal, identity.c_str())) == 0) {
    // The actions point into the text, so the list goes first.
    ActionList list;
    UpdateContext context;
    context.work_dir = work_dir;
    context.archive = &gArchiveReader;
    context.is_os_update = isOsUpdate;
    context.stop_requested = &stopRequested;
    // The value the window reads until the run hands it one of its own.
    context.progress = LegacyProgress();
    context.backups = &backups;
    list.SetContext(&context);
    list.SetWorkDir(work_dir);
    rv = ParseManifest(text.get(), &list);
    if (rv == 0) {
      bool prepared;
      {
        // Decodes the entries of patches and adds ahead while the actions
        // prepare and execute; gone (its threads joined) before anything
        // finishes or the archive closes.
        EntryPredecoder predecoder(&list, work_dir);
        predecoder.Start(EntryPredecoder::DefaultThreads());
        rv = list.PrepareAll();
        prepared = rv == 0;
        // One flush for the backups planned by every action.
        if (prepared) rv = backups.journal.Sync();
        if (rv == 0) rv = list.ExecuteAll();
      }
      // Everything the execute phase did is on disk before the commit
      // record, and that record before the first backup is deleted.
      if (prepared && rv == 0) rv = CommitRun(&backups.journal);
      if (prepared) undone = list.FinishAll(rv) == 0;
      if (prepared && rv == 0) runSucceeded = true;
    }
  }

  gArchiveReader.Close();
  close(work_dir);
  EndRunJournal(&backups.journal, rv, undone);
  return rv;
}

// Swaps the staged copy into the installation's place. Returns the result.
int RunReplace(const char* installDir) {
  char tmpDir[kMaxPath];
  char newDir[kMaxPath];
  if (!FormatPath(tmpDir, "%s.bak", installDir) ||
      !FormatPath(newDir, "%s.bak/updated", installDir)) {
    return kNoInstallDir;
  }
  char installPath[kMaxPath];
  snprintf(installPath, sizeof(installPath), "%s", installDir);

  // No removal of an earlier "<installation>.bak" that no request marked: the
  // command line refuses one, since the updater cannot tell it from a user's.
  if (SwapAlreadyDone()) {
    LOG("the interrupted replace request had already moved the staged copy in");
    runSucceeded = true;
    return kOk;
  }
  int rv = CheckStagedCopy(installPath);
  if (rv == kOk) rv = stopRequested.load() ? kStopSignal : MarkOldInstallation(installPath, true);
  if (rv != kOk) return rv;

  LOG("Begin moving sourceDir (%s) to tmpDir (%s)", installPath, tmpDir);
  rv = rename_file(installPath, tmpDir, true);
  if (rv != 0) {
    LOG("Moving sourceDir to tmpDir failed, err: %d", rv);
    MarkOldInstallation(installPath, false);
    return rv;
  }

  LOG("Begin moving newDir (%s) to sourceDir (%s)", newDir, installPath);
  rv = rename_file(newDir, installPath, true);
  if (rv != 0) {
    LOG("Moving newDir to sourceDir failed, err: %d", rv);
    LOG("Now, try to move tmpDir back to sourceDir");
    ensure_remove_recursive(installPath);
    int rv2 = rename_file(tmpDir, installPath, true);
    if (rv2 != 0) LOG("Moving tmpDir back to sourceDir failed, err: %d", rv2);
    swapStranded = rv2 != 0;
    if (rv2 == 0) MarkOldInstallation(installPath, false);
    return rv;
  }

  // The installation is exactly the staged copy's contents; a kill before
  // this is finished by recovery, which sees the swap's own mark.
  DropStagedMark(installPath);
  // The new installation is in place on disk before the old one goes.
  sync_file_system(installPath);
  LOG("Now, remove the tmpDir");
  int rv3 = RemoveSwappedOut(tmpDir, installPath);
  if (rv3 != 0) LOG("Removing tmpDir failed, err: %d", rv3);
  runSucceeded = true;
  return kOk;
}

void FinishReplace(int rv) {
  char installDir[kMaxPath];
  if (rv == 0) {
    LOG("succeeded");
    WriteStatus(kStatusSucceeded);
    if (ComputeInstallDir(installDir)) EndSwap(installDir);
  } else if (!getenv("QUIL_NO_REPLACE_FALLBACK") && !swapStranded &&
             ComputeInstallDir(installDir)) {
    char updated[kMaxPath];
    if (FormatPath(updated, "%s/updated", installDir)) RemoveStagedCopy(updated);
    WriteStatus(kStatusPending);
    // putenv keeps the pointer: the text must outlive the worker.
    static char processUpdates[] = "QUIL_PROCESS_UPDATES=";
    putenv(processUpdates);
  } else {
    LOG("failed: %d", rv);
    WriteStatusFailed(rv);
  }
}

}  // namespace

bool ComputeInstallDir(char* out) {
  snprintf(out, kMaxPath, "%s", applyToDir);
  if (!isStagedUpdate && !isReplaceRequest) return true;
  char* slash = strrchr(out, '/');
  if (!slash) return false;
  if (slash[1] == '\0') {
    *slash = '\0';
    slash = strrchr(out, '/');
    if (!slash) return false;
  }
  *slash = '\0';
  return true;
}

void DoUpdate(const RunFiles& files) {
  if (isReplaceRequest) {
    char installDir[kMaxPath];
    int rv = ComputeInstallDir(installDir) ? RunReplace(installDir) : kNoInstallDir;
    FinishReplace(rv);
  } else {
    int rv = RunUpdate(files);
    if (rv == 0) {
      LOG("succeeded");
      WriteStatus(isStagedUpdate ? kStatusApplied : kStatusSucceeded);
    } else {
      LOG("failed: %d", rv);
      WriteStatusFailed(rv);
    }
    RemoveRunJournal(rv);
  }
  LOG("calling QuitProgressUI");
  QuitProgressUI();
}

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
#include "base/update_log.h"
#include "driver/recovery.h"
#include "driver/run.h"
#include "driver/status.h"
#include "driver/swap.h"
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
int MakeStagedCopy(const Run& run) {
  if (!run.hasInstallDir) return kNoInstallDir;
  const char* installDir = run.installDir;
  const char* applyToDir = run.applyToDir;
  char skip[2][kMaxPath];
  if (!FormatPath(skip[0], "%s/%s", installDir, "updated") ||
      !FormatPath(skip[1], "%s/%s", installDir, "updates/0")) {
    return kNoInstallDir;
  }
  return ensure_copy_recursive_skipping(AT_FDCWD, installDir, applyToDir, skip, applyToDir);
}

// The SHA-256 of the run's archive: exactly the bytes the run reads.
bool ArchiveIdentity(const Run& run, std::string* identity) {
  bool ok = qex_file_sha256(run.archive, identity);
  if (!ok) LOG("failed to read the archive for its identity: %s/update.qex", run.updateDir);
  return ok;
}

// The ordinary and staged run. Returns the run's result.
int RunUpdate(Run& run) {
  // Every entry of the run is read through this one reader.
  ArchiveReader reader;
  int rv = reader.OpenDescriptor(run.archive);
  if (rv != 0) return rv;

  if (run.isStagedUpdate && !run.isOsUpdate) {
    rv = MakeStagedCopy(run);
    if (rv == 0 && run.StopRequested()) rv = kStopSignal;
    if (rv != 0) {
      reader.Close();
      return rv;
    }
  }

  int work_dir = -1;
  rv = MakeWorkDir(run.applyTo, &work_dir);
  if (rv != 0) {
    reader.Close();
    return rv;
  }

  std::unique_ptr<char[]> text;
  rv = ExtractManifest(&reader, work_dir, &text);
  if (rv != 0) {
    LOG("DoUpdate: error extracting manifest file");
    text.reset();
  }

  // The update's identity: the digest of the whole archive.
  std::string identity;
  if (text && !ArchiveIdentity(run, &identity)) rv = kReadError;
  bool undone = true;
  if (rv == 0 && text && UpdateAlreadyApplied(run, identity)) {
    LOG("the interrupted run had already applied this update");
  } else if (rv == 0 && text && (rv = BeginRunJournal(run, identity.c_str())) == 0) {
    UpdateContext& context = run.context;
    context.install_dir = run.applyTo;
    run.backups.root = run.applyTo;
    context.work_dir = work_dir;
    context.archive = &reader;
    context.is_os_update = run.isOsUpdate;
    context.stop_requested = run.stopFlag;
    context.progress = &run.progress;
    context.backups = &run.backups;
    // The actions point into the text, so the list goes first.
    ActionList list;
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
        if (prepared) rv = run.backups.journal.Sync();
        if (rv == 0) rv = list.ExecuteAll();
      }
      // Everything the execute phase did is on disk before the commit
      // record, and that record before the first backup is deleted.
      if (prepared && rv == 0) rv = CommitRun(run);
      if (prepared) undone = list.FinishAll(rv) == 0;
    }
  }

  reader.Close();
  close(work_dir);
  run.context.work_dir = -1;
  EndRunJournal(run, rv, undone);
  return rv;
}

}  // namespace

void DoUpdate(Run& run) {
  int rv;
  if (run.isReplaceRequest) {
    rv = RunReplace(run);
    FinishReplace(run, rv);
  } else {
    rv = RunUpdate(run);
    if (rv == 0) {
      LOG("succeeded");
      WriteStatus(run, run.isStagedUpdate ? kStatusApplied : kStatusSucceeded);
    } else {
      LOG("failed: %d", rv);
      WriteStatusFailed(run, rv);
    }
    RemoveRunJournal(run, rv);
  }
  run.runSucceeded = rv == 0;
  LOG("calling QuitProgressUI");
  run.progress.Quit();
}

#include "driver/swap.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/error_codes.h"
#include "base/update_log.h"
#include "driver/run.h"
#include "driver/run_dirs.h"
#include "driver/status.h"
#include "fileops/durable.h"
#include "fileops/fileops.h"

namespace {

// A replace request marks the installation it moves aside and the staged
// copy it moves in.
constexpr const char kOldMark[] = ".quil-swap-old";
constexpr const char kNewMark[] = ".quil-swap-new";

// snprintf into a kMaxPath buffer; false when the result would be cut.
template <typename... Args>
bool FormatPath(char (&out)[kMaxPath], const char* fmt, Args... args) {
  int n = snprintf(out, kMaxPath, fmt, args...);
  return n >= 0 && static_cast<size_t>(n) < kMaxPath;
}

// Creates the empty file `path` and flushes it and its directory `dir`.
int WriteMark(const std::string& path, const std::string& dir) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!ok || sync_directory(dir.c_str()) != kOk) {
    LOG("failed to mark the installation: %s", path.c_str());
    return kWriteError;
  }
  return kOk;
}

// 51 when "<installation>/updated" is an incomplete staged copy, else 0.
int CheckStagedCopy(const char* installDir) {
  std::string work = std::string(installDir) + "/updated/" + kWorkDir;
  if (!Exists(work)) return kOk;
  LOG("the staged copy is incomplete: %s", work.c_str());
  return kStagedIncomplete;
}

// Marks the installation as the one this request moves aside, durably; or
// removes the mark. 0 or 7.
int MarkOldInstallation(const char* installDir, bool mark) {
  std::string dir(installDir), path = dir + "/" + kOldMark;
  if (mark) return WriteMark(path, dir);
  if (!Exists(path)) return kOk;
  if (unlink(path.c_str()) != 0) return kWriteError;
  return sync_directory(dir.c_str());
}

// Deletes the old installation that this request moved to `tmpDir`, its mark
// last, and flushes the file system of `installDir`. 0 or -1.
int RemoveSwappedOut(const char* tmpDir, const char* installDir) {
  int rv = RemoveLast(tmpDir, kOldMark);
  sync_file_system(installDir);
  return rv;
}

// Right after the swap: removes the mark that the staged copy carried as the
// updater's own (see ClearStagedDir) from the installation it became. 0 or 7.
int DropStagedMark(const char* installDir) {
  std::string mark = std::string(installDir) + "/" + kStagedMark;
  return unlink(mark.c_str()) == 0 || errno == ENOENT ? kOk : kWriteError;
}

// After the final status: removes the mark of the new installation, which
// until then tells a later run that the swap was done.
void EndSwap(const char* installDir) { unlink((std::string(installDir) + "/" + kNewMark).c_str()); }

}  // namespace

int RecoverSwap(Run& run) {
  if (!run.hasInstallDir) return kOk;  // the run reports it
  std::string install = run.installDir;
  std::string bak = install + ".bak", newMark = install + "/" + kNewMark;
  int rv = kOk;
  // The lock of an ordinary run may have made an empty directory in its place.
  if (Exists(bak + "/" + kOldMark)) rmdir(install.c_str());
  if (!Exists(install) && IsDir(bak)) {
    LOG("found the installation at %s after an interrupted replace request: moving it back",
        bak.c_str());
    if (rename(bak.c_str(), install.c_str()) != 0) rv = kRecoveryFailed;
  } else if (Exists(newMark)) {
    LOG("found the staged copy moved in by an interrupted replace request: removing %s",
        bak.c_str());
    run.recovery.swapDone = true;
    if (Exists(bak + "/" + kOldMark)) {
      if (RemoveLast(bak, kOldMark) != 0) rv = kRecoveryFailed;
    } else {
      rmdir(bak.c_str());  // emptied but for itself; anything else there is not ours
    }
    if (rv == kOk && DropStagedMark(install.c_str()) != kOk) rv = kRecoveryFailed;
    // A replace request reports the swap done and removes the mark after its
    // final status: a request killed before that finds the mark again.
    if (rv == kOk && !run.isReplaceRequest && unlink(newMark.c_str()) != 0) rv = kRecoveryFailed;
  }
  if (rv == kOk) rv = MarkOldInstallation(install.c_str(), false);
  // Anything but a directory there (or a link to one) is no installation:
  // the run reports it (7).
  struct stat st;
  if (rv == kOk && stat(install.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    rv = sync_file_system(install.c_str());
  }
  return rv == kOk ? kOk : kRecoveryFailed;
}

int AcceptStagedCopy(const Run& run) {
  if (!run.isReplaceRequest || !run.hasInstallDir) return kOk;
  std::string staged = std::string(run.installDir) + "/updated";
  if (!IsDir(staged) || Exists(staged + "/" + kNewMark)) return kOk;
  return WriteMark(staged + "/" + kNewMark, staged);
}

bool ResumesSwap(const char* installDir) {
  std::string install(installDir), bak = install + ".bak";
  return (!Exists(install) && IsDir(bak)) || Exists(bak + "/" + kOldMark) ||
         Exists(install + "/" + kNewMark);
}

bool StagedCopyAccepted(const char* installDir) {
  return Exists(std::string(installDir) + "/updated/" + kNewMark);
}

int RunReplace(Run& run) {
  if (!run.hasInstallDir) return kNoInstallDir;
  const char* installDir = run.installDir;
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
  if (run.recovery.swapDone) {
    LOG("the interrupted replace request had already moved the staged copy in");
    return kOk;
  }
  int rv = CheckStagedCopy(installPath);
  if (rv == kOk) rv = run.StopRequested() ? kStopSignal : MarkOldInstallation(installPath, true);
  if (rv != kOk) return rv;

  LOG("Begin moving sourceDir (%s) to tmpDir (%s)", installPath, tmpDir);
  rv = rename_file(AT_FDCWD, installPath, tmpDir, true);
  if (rv != 0) {
    LOG("Moving sourceDir to tmpDir failed, err: %d", rv);
    MarkOldInstallation(installPath, false);
    return rv;
  }

  LOG("Begin moving newDir (%s) to sourceDir (%s)", newDir, installPath);
  rv = rename_file(AT_FDCWD, newDir, installPath, true);
  if (rv != 0) {
    LOG("Moving newDir to sourceDir failed, err: %d", rv);
    LOG("Now, try to move tmpDir back to sourceDir");
    ensure_remove_recursive(AT_FDCWD, installPath);
    int rv2 = rename_file(AT_FDCWD, tmpDir, installPath, true);
    if (rv2 != 0) LOG("Moving tmpDir back to sourceDir failed, err: %d", rv2);
    run.recovery.swapStranded = rv2 != 0;
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
  return kOk;
}

void FinishReplace(Run& run, int rv) {
  if (rv == 0) {
    LOG("succeeded");
    WriteStatus(run, kStatusSucceeded);
    if (run.hasInstallDir) EndSwap(run.installDir);
  } else if (!run.noReplaceFallback && !run.recovery.swapStranded && run.hasInstallDir) {
    char updated[kMaxPath];
    if (FormatPath(updated, "%s/updated", run.installDir)) RemoveStagedCopy(updated);
    WriteStatus(run, kStatusPending);
    // The installation is the old one again: its program is not relaunched.
    run.noCallback = true;
  } else {
    LOG("failed: %d", rv);
    WriteStatusFailed(run, rv);
  }
}

void RemoveStagedCopy(const char* dir) {
  OpenedDir staged;
  if (!staged.Open(dir)) return;
  mkdirat(staged.fd.get(), kWorkDir, 0755);
  if (staged.HasDir(kWorkDir)) RemoveLast(&staged, kWorkDir);
}

#include "driver/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/run_settings.h"
#include "base/update_log.h"
#include "driver/update_run.h"
#include "fileops/beneath.h"
#include "fileops/durable.h"
#include "fileops/fileops.h"
#include "fileops/journal.h"

bool swapStranded = false;

namespace {

constexpr const char kWorkDir[] = "updating";
// Beside the work directory, not in it: removed after it, so that a run
// killed once the work directory is gone can still be told from one that
// never started.
constexpr const char kJournalName[] = "updating.journal";
// A replace request marks the installation it moves aside and the staged
// copy it moves in.
constexpr const char kOldMark[] = ".quil-swap-old";
constexpr const char kNewMark[] = ".quil-swap-new";

// What recovery found, for the run that follows it.
std::string recoveredCommit;
std::string runIdentity;
bool swapDone = false;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Removes `dir` with its entry `last` removed last; -1 when something stays.
int RemoveLast(const std::string& dir, const char* last) {
  if (!IsDir(dir)) return Exists(dir) ? -1 : 0;
  int rv = remove_tree_keeping(dir.c_str(), last);
  std::string kept = dir + "/" + last;
  if (rv == 0 && Exists(kept)) rv = ensure_remove_recursive(kept.c_str());
  if (rv == 0 && rmdir(dir.c_str()) != 0) rv = -1;
  return rv;
}

// Brings back the state the journal's run started from, or the one it was
// committing to. Paths in the records are relative to `root`.
class Replay {
 public:
  Replay(std::string root, std::vector<JournalRecord> records)
      : root_(std::move(root)), records_(std::move(records)) {}

  int Undo() {
    for (const JournalRecord& r : records_) {
      unsigned long long dev = 0, ino = 0;
      bool backup = r.type == kJournalBackup || r.type == kJournalPlanned;
      if (backup && sscanf(r.fields[2].c_str(), "%llu %llu", &dev, &ino) == 2)
        originals_.insert({dev, ino});
    }
    int rv = kOk;
    for (auto r = records_.rbegin(); r != records_.rend(); ++r) {
      const std::vector<std::string>& f = r->fields;
      // A planned backup never made has no file under its name: no file
      // the run made can have it before its own record, undone first.
      bool backup = r->type == kJournalBackup || r->type == kJournalPlanned;
      if (backup && Exists(At(f[1]))) {
        std::string dst = At(f[0]);
        if (rename_file(At(f[1]).c_str(), dst.data(), false) != kOk) rv = kRecoveryFailed;
      } else if (r->type == kJournalMove && Exists(At(f[1]))) {
        if (rename(At(f[1]).c_str(), At(f[0]).c_str()) != 0) rv = kRecoveryFailed;
      } else if (r->type == kJournalCreate) {
        UndoCreate(f[0], strtoul(f[1].c_str(), nullptr, 10));
      }
    }
    return rv;
  }

  // Deletes the backups (under their last names) and removes the emptied
  // directories, as the finish phase after the commit would have.
  int Finish() {
    std::map<std::string, std::string> current;  // backup name -> where it is now
    for (const JournalRecord& r : records_) {
      if (r.type == kJournalBackup) current[r.fields[1]] = r.fields[1];
      if (r.type != kJournalMove) continue;
      for (auto& entry : current)
        if (entry.second == r.fields[0]) entry.second = r.fields[1];
    }
    int rv = kOk;
    for (const auto& entry : current) {
      std::string path = At(entry.second);
      if (Exists(path) && ensure_remove_recursive(path.c_str()) != 0) rv = kRecoveryFailed;
    }
    for (const JournalRecord& r : records_)
      if (r.type == kJournalRmdir) rmdir(At(r.fields[0]).c_str());
    return rv;
  }

 private:
  std::string At(const std::string& rel) const { return root_ + "/" + rel; }

  // A file of the installation as it was: moved aside by the run and put
  // back by an earlier undo. It stays.
  bool IsOriginal(const std::string& path) const {
    struct stat st;
    return lstat(path.c_str(), &st) != 0 ||
           originals_.count({static_cast<unsigned long long>(st.st_dev),
                             static_cast<unsigned long long>(st.st_ino)}) != 0;
  }

  void UndoCreate(const std::string& rel, size_t first_new_dir) {
    std::string path = At(rel);
    if (!IsOriginal(path)) ensure_remove(path.c_str());
    if (first_new_dir == 0) return;
    std::string dir = rel;
    for (size_t slash = dir.rfind('/'); slash != std::string::npos && slash >= first_new_dir;
         slash = dir.rfind('/')) {
      dir.resize(slash);
      if (IsOriginal(At(dir)) || rmdir(At(dir).c_str()) != 0) return;
    }
  }

  std::string root_;
  std::vector<JournalRecord> records_;
  std::set<std::pair<unsigned long long, unsigned long long>> originals_;
};

// Removes the work directory, then the journal.
// Anything else under these names is not the run's, and stays.
int RemoveWork(const std::string& root) {
  std::string work = root + "/" + kWorkDir, journal = root + "/" + kJournalName;
  if (IsDir(work) && ensure_remove_recursive(work.c_str()) != 0) return -1;
  return !IsFile(journal) || unlink(journal.c_str()) == 0 ? 0 : -1;
}

int RecoverJournal(const std::string& root) {
  std::string work = root + "/" + kWorkDir, journal = root + "/" + kJournalName;
  if (!IsDir(work) && !IsFile(journal)) return kOk;
  std::vector<JournalRecord> records;
  int rv = kOk;
  if (!read_journal(journal.c_str(), &records) || records.empty()) {
    LOG("found the work directory of an update that had changed nothing: %s", work.c_str());
  } else if (records.back().type == kJournalRolledBack) {
    LOG("found an update that had been rolled back: %s", work.c_str());
  } else {
    bool committed = false;
    for (const JournalRecord& r : records) committed |= r.type == kJournalCommit;
    LOG("found an interrupted update (%zu journal records), %s", records.size(),
        committed ? "committed: finishing it" : "not committed: undoing it");
    Replay replay(root, records);
    rv = committed ? replay.Finish() : replay.Undo();
    if (rv == kOk && committed && records.front().type == kJournalBegin)
      recoveredCommit = records.front().fields[0];
  }
  if (rv == kOk && sync_file_system(root.c_str()) != kOk) rv = kRecoveryFailed;
  // The journal goes last: until then a later run can still replay it.
  if (rv == kOk && RemoveWork(root) != 0) rv = kRecoveryFailed;
  LOG(rv == kOk ? "recovered the installation: %s" : "failed to recover the installation: %s",
      root.c_str());
  return rv;
}

int RecoverSwap(const std::string& install) {
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
    swapDone = true;
    if (Exists(bak + "/" + kOldMark)) {
      if (RemoveLast(bak, kOldMark) != 0) rv = kRecoveryFailed;
    } else {
      rmdir(bak.c_str());  // emptied but for itself; anything else there is not ours
    }
    if (rv == kOk && unlink(newMark.c_str()) != 0) rv = kRecoveryFailed;
  }
  if (rv == kOk) rv = MarkOldInstallation(install.c_str(), false);
  if (rv == kOk && Exists(install)) rv = sync_file_system(install.c_str());
  return rv == kOk ? kOk : kRecoveryFailed;
}

}  // namespace

int ClearStagedDir() {
  std::string dir = applyToDir, work = dir + "/" + kWorkDir;
  if (IsDir(dir)) {
    mkdir(work.c_str(), 0755);
    if (!IsDir(work) || remove_tree_keeping(dir.c_str(), kWorkDir) != 0 ||
        remove_tree_keeping(work.c_str(), "") != 0) {
      return kRecoveryFailed;
    }
    return kOk;
  }
  // Made under another name and renamed: never seen without its mark.
  std::string fresh = dir + ".quil-new";
  ensure_remove_recursive(fresh.c_str());
  std::string freshWork = fresh + "/" + kWorkDir;
  if (mkdir(fresh.c_str(), 0755) != 0 || mkdir(freshWork.c_str(), 0755) != 0 ||
      rename(fresh.c_str(), dir.c_str()) != 0) {
    ensure_remove_recursive(fresh.c_str());
    return Exists(dir) ? kRecoveryFailed : kOk;  // the run itself reports a missing one
  }
  // Owned like the installation it copies, as every directory the run makes.
  inherit_owner(dir.c_str(), nullptr);
  return kOk;
}

int RecoverInstallation() {
  char installDir[kMaxPath];
  if (!ComputeInstallDir(installDir)) return kOk;  // the run reports it
  int rv = RecoverSwap(installDir);
  if (rv == kOk) rv = RecoverJournal(installDir);
  return rv;
}

int BeginRunJournal(const char* manifest_text) {
  // FNV-1a of the manifest and the archive's size.
  uint64_t hash = 14695981039346656037ull;
  for (const char* p = manifest_text; *p; ++p)
    hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
  struct stat st;
  std::string archive = std::string(updateDir) + "/update.qex";
  char id[64];
  snprintf(id, sizeof(id), "%016llx %lld", static_cast<unsigned long long>(hash),
           stat(archive.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1LL);
  runIdentity = id;
  std::string journal = std::string(applyToDir) + "/" + kJournalName;
  return gJournal.Begin(journal.c_str(), id);
}

bool UpdateAlreadyApplied() { return !recoveredCommit.empty() && recoveredCommit == runIdentity; }

int CommitRun() {
  int rv = sync_file_system(applyToDir);
  return rv == kOk ? gJournal.Add(kJournalCommit, {}, true) : rv;
}

void EndRunJournal(int rv) {
  if (rv != kOk) gJournal.Add(kJournalRolledBack, {}, false);
  sync_file_system(applyToDir);
  gJournal.Close();
}

void RemoveRunJournal(int rv) {
  if (isStagedUpdate && rv != kOk) {
    RemoveStagedCopy(applyToDir);
    return;
  }
  if (!isStagedUpdate) {
    RemoveWork(applyToDir);
    return;
  }
  // The staged copy is complete once its work directory is gone.
  unlink((std::string(applyToDir) + "/" + kJournalName).c_str());
  ensure_remove_recursive((std::string(applyToDir) + "/" + kWorkDir).c_str());
  sync_directory(applyToDir);
}

bool SwapAlreadyDone() { return swapDone; }

int CheckStagedCopy(const char* installDir) {
  std::string work = std::string(installDir) + "/updated/" + kWorkDir;
  if (!Exists(work)) return kOk;
  LOG("the staged copy is incomplete: %s", work.c_str());
  return kStagedIncomplete;
}

namespace {

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

}  // namespace

int AcceptStagedCopy() {
  char installDir[kMaxPath];
  if (!isReplaceRequest || !ComputeInstallDir(installDir)) return kOk;
  std::string staged = std::string(installDir) + "/updated";
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

int MarkOldInstallation(const char* installDir, bool mark) {
  std::string dir(installDir), path = dir + "/" + kOldMark;
  if (mark) return WriteMark(path, dir);
  if (!Exists(path)) return kOk;
  if (unlink(path.c_str()) != 0) return kWriteError;
  return sync_directory(dir.c_str());
}

int RemoveSwappedOut(const char* tmpDir, const char* installDir) {
  int rv = RemoveLast(tmpDir, kOldMark);
  sync_file_system(installDir);
  return rv;
}

void EndSwap(const char* installDir) { unlink((std::string(installDir) + "/" + kNewMark).c_str()); }

void RemoveStagedCopy(const char* dir) {
  std::string work = std::string(dir) + "/" + kWorkDir;
  if (!IsDir(dir)) return;
  mkdir(work.c_str(), 0755);
  if (IsDir(work)) RemoveLast(dir, kWorkDir);
}

#include "driver/recovery.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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
// A staged copy made by the updater carries this mark from the start; only
// such a copy is ever cleared or replaced by a later staged update.
constexpr const char kStagedMark[] = ".quil-staged";

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

// A directory opened without following a final link, and the directory
// holding it: every removal below goes through these descriptors.
struct OpenedDir {
  ScopedFd parent;
  ScopedFd fd;
  char name[NAME_MAX + 1] = "";

  // True when `path` is a directory, now open; errno ENOENT when it is missing.
  bool Open(const std::string& path) {
    parent.reset(open_parent_dir(path.c_str(), name));
    if (!parent.ok()) return false;
    fd.reset(
        openat(parent.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return fd.ok();
  }
  bool Has(const char* entry) const {
    struct stat st;
    return fstatat(fd.get(), entry, &st, AT_SYMLINK_NOFOLLOW) == 0;
  }
  bool HasDir(const char* entry) const {
    struct stat st;
    return fstatat(fd.get(), entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
  }
};

bool IsEmptyDir(int dirfd) {
  int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!dir) {
    if (fd >= 0) close(fd);
    return false;
  }
  bool empty = true;
  while (dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, "..")) {
      empty = false;
      break;
    }
  }
  closedir(dir);
  return empty;
}

// Creates the empty file `name` in `dirfd` unless it is there. The run's
// later flushes make it durable; until then "updating" marks the copy too.
int WriteMarkAt(int dirfd, const char* name) {
  int fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    LOG("failed to mark the staged copy: %s, err: %d", name, err);
    return kWriteError;
  }
  close(fd);
  return kOk;
}

// Removes the opened directory with its entry `last` removed last; -1 when
// something stays.
int RemoveLast(OpenedDir* dir, const char* last) {
  int rv = remove_entries_at(dir->fd.get(), last);
  if (rv == 0 && dir->Has(last)) rv = remove_tree_at(dir->fd.get(), last);
  if (rv == 0 && unlinkat(dir->parent.get(), dir->name, AT_REMOVEDIR) != 0) rv = -1;
  return rv;
}

// The same by path; 0 when nothing is there.
int RemoveLast(const std::string& path, const char* last) {
  OpenedDir dir;
  if (dir.Open(path)) return RemoveLast(&dir, last);
  return Exists(path) ? -1 : 0;
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
    if (rv == kOk && DropStagedMark(install.c_str()) != kOk) rv = kRecoveryFailed;
    if (rv == kOk && unlink(newMark.c_str()) != 0) rv = kRecoveryFailed;
  }
  if (rv == kOk) rv = MarkOldInstallation(install.c_str(), false);
  if (rv == kOk && Exists(install)) rv = sync_file_system(install.c_str());
  return rv == kOk ? kOk : kRecoveryFailed;
}

}  // namespace

int ClearStagedDir() {
  std::string dir = applyToDir;
  OpenedDir staged;
  if (staged.Open(dir)) {
    // The copy is ours while it is made ("updating") and once made (the
    // mark); anything else under this name is someone's own, and stays.
    if (!staged.HasDir(kWorkDir) && !staged.Has(kStagedMark) && !IsEmptyDir(staged.fd.get())) {
      LOG("not a staged copy made by the updater (no %s), left as it is: %s", kStagedMark,
          dir.c_str());
      return kRecoveryFailed;
    }
    mkdirat(staged.fd.get(), kWorkDir, 0755);
    ScopedFd work(openat(staged.fd.get(), kWorkDir,
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    // The work directory keeps marking the copy as the updater's while the
    // mark is written again.
    if (!work.ok() || remove_entries_at(staged.fd.get(), kWorkDir) != 0 ||
        WriteMarkAt(staged.fd.get(), kStagedMark) != kOk ||
        remove_entries_at(work.get(), nullptr) != 0) {
      return kRecoveryFailed;
    }
    return kOk;
  }
  if (errno != ENOENT) return Exists(dir) ? kRecoveryFailed : kOk;
  // Made under another name and renamed: never seen without its marks.
  std::string fresh = dir + ".quil-new";
  ensure_remove_recursive(fresh.c_str());
  OpenedDir made;
  bool ok = mkdir(fresh.c_str(), 0755) == 0 && made.Open(fresh) &&
            mkdirat(made.fd.get(), kWorkDir, 0755) == 0 &&
            WriteMarkAt(made.fd.get(), kStagedMark) == kOk;
  // Owned like the installation it copies, as every directory the run makes.
  struct stat owner;
  if (ok && fstat(made.parent.get(), &owner) == 0 &&
      fchown(made.fd.get(), owner.st_uid, owner.st_gid) != 0 && errno != EPERM) {
    ok = false;
  }
  std::string name = dir.substr(dir.find_last_of('/') + 1);
  if (!ok || renameat(made.parent.get(), made.name, made.parent.get(), name.c_str()) != 0) {
    ensure_remove_recursive(fresh.c_str());
    return Exists(dir) ? kRecoveryFailed : kOk;  // the run itself reports a missing one
  }
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

int DropStagedMark(const char* installDir) {
  std::string mark = std::string(installDir) + "/" + kStagedMark;
  return unlink(mark.c_str()) == 0 || errno == ENOENT ? kOk : kWriteError;
}

void EndSwap(const char* installDir) { unlink((std::string(installDir) + "/" + kNewMark).c_str()); }

void RemoveStagedCopy(const char* dir) {
  OpenedDir staged;
  if (!staged.Open(dir)) return;
  mkdirat(staged.fd.get(), kWorkDir, 0755);
  if (staged.HasDir(kWorkDir)) RemoveLast(&staged, kWorkDir);
}

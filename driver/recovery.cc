#include "driver/recovery.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/update_log.h"
#include "driver/run.h"
#include "driver/run_dirs.h"
#include "driver/swap.h"
#include "fileops/beneath.h"
#include "fileops/durable.h"
#include "fileops/fileops.h"
#include "fileops/journal.h"

namespace {

// Beside the work directory, not in it: removed after it, so that a run
// killed once the work directory is gone can still be told from one that
// never started.
constexpr const char kJournalName[] = "updating.journal";

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

// The relative path `rel` of the installation `root` exists (a final link is
// not followed).
bool ExistsBeneath(int root, const std::string& rel) {
  struct stat st;
  return stat_beneath(root, rel.c_str(), &st, false) == 0;
}

// The relative path `rel`, resolved beneath the installation `root`, removed
// as a tree.
int RemoveBeneath(int root, const std::string& rel) {
  BeneathPath p(root, rel.c_str());
  if (!p.ok()) return errno == ENOENT ? 0 : -1;
  struct stat st;
  if (fstatat(p.dir(), p.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : -1;
  return remove_tree_at(p.dir(), p.name());
}

// Takes the file-system identity of another user on the calling thread alone
// (fsuid, fsgid, no supplementary groups), so that what follows can do only
// what that user could; gives root's back when it goes. The kernel drops the
// file capabilities with a non-zero fsuid.
class ScopedFsIdentity {
 public:
  ScopedFsIdentity() = default;
  ~ScopedFsIdentity() {
    if (!entered_) return;
    setfsuid(geteuid());
    setfsgid(getegid());
    syscall(SYS_setgroups, groups_.size(), groups_.data());
  }
  ScopedFsIdentity(const ScopedFsIdentity&) = delete;
  ScopedFsIdentity& operator=(const ScopedFsIdentity&) = delete;

  // False when the user is unknown or the identity cannot be taken.
  bool Enter(uid_t uid) {
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(uid, &pw, buf, sizeof(buf), &found) != 0 || !found) return false;
    int n = getgroups(0, nullptr);
    if (n < 0) return false;
    groups_.resize(static_cast<size_t>(n));
    if (getgroups(n, groups_.data()) != n) return false;
    // Raw system calls: the C library would change every thread's.
    entered_ = true;
    if (syscall(SYS_setgroups, 0, nullptr) != 0) return false;
    setfsgid(pw.pw_gid);
    setfsuid(uid);
    // setfsuid reports the previous value, never failure: read both back.
    return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid &&
           static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == pw.pw_gid;
  }

 private:
  bool entered_ = false;
  std::vector<gid_t> groups_;
};

// Brings back the state the journal's run started from, or the one it was
// committing to. Every path is relative and resolved beneath the installation
// `root` at the moment of each operation; the records have been validated.
class Replay {
 public:
  Replay(int root, std::vector<JournalRecord> records)
      : root_(root), records_(std::move(records)) {}

  int Undo() {
    for (const JournalRecord& r : records_) {
      unsigned long long dev = 0, ino = 0;
      bool backup = r.type == kJournalBackup || r.type == kJournalPlanned;
      if (backup && sscanf(r.fields[2].c_str(), "%llu %llu", &dev, &ino) == 2)
        originals_.insert({dev, ino});
    }
    // The new paths first (announced while preparing, they may come before
    // the backup of a file whose place a new directory took), then the
    // backups, each in reverse.
    for (auto r = records_.rbegin(); r != records_.rend(); ++r)
      if (r->type == kJournalCreate)
        UndoCreate(r->fields[0], strtoul(r->fields[1].c_str(), nullptr, 10));
    int rv = kOk;
    for (auto r = records_.rbegin(); r != records_.rend(); ++r) {
      const std::vector<std::string>& f = r->fields;
      // A planned backup never made has no file under its name: no file
      // the run made can have it before its own record, undone first.
      bool backup = r->type == kJournalBackup || r->type == kJournalPlanned;
      if ((backup || r->type == kJournalMove) && !ExistsBeneath(root_, f[1]) && errno != ENOENT &&
          errno != ENOTDIR) {
        // Leads outside, or through a loop: no backup of the run is there.
        LOG("failed to put back %s: it cannot be examined, err: %d", f[1].c_str(), errno);
        rv = kRecoveryFailed;
      } else if ((backup || r->type == kJournalMove) && ExistsBeneath(root_, f[1])) {
        if (rename_beneath(root_, f[1].c_str(), f[0].c_str()) != 0) {
          LOG("failed to put back %s as %s, err: %d", f[1].c_str(), f[0].c_str(), errno);
          rv = kRecoveryFailed;
        }
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
      if (RemoveBeneath(root_, entry.second) != 0) {
        LOG("failed to delete the backup %s, err: %d", entry.second.c_str(), errno);
        rv = kRecoveryFailed;
      }
    }
    for (const JournalRecord& r : records_)
      if (r.type == kJournalRmdir) rmdir_beneath(root_, r.fields[0].c_str());
    return rv;
  }

 private:
  // A file of the installation as it was: never moved aside, or put back by
  // the run's rollback. It stays.
  bool IsOriginal(const std::string& rel) const {
    struct stat st;
    return stat_beneath(root_, rel.c_str(), &st, false) != 0 ||
           originals_.count({static_cast<unsigned long long>(st.st_dev),
                             static_cast<unsigned long long>(st.st_ino)}) != 0;
  }

  // Whether the journal plans or records a backup of `rel`.
  bool Announced(const std::string& rel) const {
    for (const JournalRecord& r : records_)
      if ((r.type == kJournalPlanned || r.type == kJournalBackup) && r.fields[0] == rel)
        return true;
    return false;
  }
  // Whether a backup of `rel` stands under a name the journal gives it. If
  // none does, the file at `rel` is the original: never moved (a creation
  // announced while preparing may never have run), or put back.
  bool BackedUp(const std::string& rel) const {
    for (const JournalRecord& r : records_)
      if ((r.type == kJournalPlanned || r.type == kJournalBackup || r.type == kJournalMove) &&
          is_backup_name_of(r.fields[1], rel) && ExistsBeneath(root_, r.fields[1]))
        return true;
    return false;
  }

  // Removes the new file and then every directory the run made for it, from
  // the deepest up: one already gone (or kept by something in it) does not
  // stop the ones above.
  void UndoCreate(const std::string& rel, size_t first_new_dir) {
    if (!IsOriginal(rel) && (!Announced(rel) || BackedUp(rel))) remove_beneath(root_, rel.c_str());
    if (first_new_dir == 0) return;
    std::string dir = rel;
    for (size_t slash = dir.rfind('/'); slash != std::string::npos && slash >= first_new_dir;
         slash = dir.rfind('/')) {
      dir.resize(slash);
      rmdir_beneath(root_, dir.c_str());
    }
  }

  const int root_;
  std::vector<JournalRecord> records_;
  std::set<std::pair<unsigned long long, unsigned long long>> originals_;
};

// Removes the work directory, then the journal, both resolved beneath the
// installation directory `root`. Anything else under these names is not the
// run's, and stays.
int RemoveWork(int root, bool keep_journal) {
  struct stat st;
  if (stat_beneath(root, kWorkDir, &st, false) == 0 && S_ISDIR(st.st_mode) &&
      RemoveBeneath(root, kWorkDir) != 0) {
    return -1;
  }
  if (keep_journal || stat_beneath(root, kJournalName, &st, false) != 0 || !S_ISREG(st.st_mode))
    return 0;
  return remove_beneath(root, kJournalName);
}

// syncfs of the file system holding the open directory `root` (which may be
// opened only as a path). 0 or -1.
int SyncAt(int root) {
  int fd = openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int rv = fd >= 0 ? syncfs(fd) : -1;
  if (fd >= 0) close(fd);
  return rv;
}

// Appends the record that the backups of a committed run are deleted, so that
// the journal, kept until a run has taken note of it, is not finished again.
// `checked` is the journal as read: only that file is written.
int MarkFinished(int root, int checked) {
  int fd = openat(root, kJournalName, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat was, is;
  const char record[] = {kJournalFinished, '\n'};
  bool ok = fd >= 0 && fstat(checked, &was) == 0 && fstat(fd, &is) == 0 &&
            was.st_dev == is.st_dev && was.st_ino == is.st_ino &&
            write(fd, record, sizeof(record)) == static_cast<ssize_t>(sizeof(record)) &&
            fdatasync(fd) == 0;
  if (fd >= 0) close(fd);
  return ok ? kOk : kRecoveryFailed;
}

// Reads and checks the journal at the open descriptor `fd`. 0, or 52 with
// the reason logged and in `reason`.
int ReadClaims(int fd, std::vector<JournalRecord>* records, std::string* why = nullptr) {
  std::string reason;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "not a regular file";
  } else if (st.st_nlink != 1) {
    reason = "the file has other names";
  } else if (read_journal(fd, records, &reason) && validate_journal(*records, &reason)) {
    return kOk;
  }
  LOG("refusing the journal: %s", reason.c_str());
  if (why) *why = reason;
  return kRecoveryFailed;
}

// Undoes or finishes the run whose journal is in the installation open at
// `root` (also the directory that relative paths resolve beneath). `keep`: a
// finished committed journal stays, for the run that follows to take note of.
// Notes the identity of a committed run it finished in `recovery`.
int RecoverJournal(int root, const std::string& where, bool keep, RecoveryState* recovery) {
  struct stat st;
  bool work = fstatat(root, kWorkDir, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
  int fd = openat(root, kJournalName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT) {
    LOG("refusing the journal: it cannot be opened as a file, err: %d", errno);
    return kRecoveryFailed;
  }
  if (!work && fd < 0) return kOk;
  std::vector<JournalRecord> records;
  int rv = fd >= 0 ? ReadClaims(fd, &records) : kOk;
  // A journal written by another user's run is replayed with that user's
  // power over files; one of another user's is refused unless root runs.
  ScopedFsIdentity identity;
  if (rv == kOk && fd >= 0 && fstat(fd, &st) == 0 && st.st_uid != geteuid()) {
    if (geteuid() != 0) {
      LOG("refusing the journal: it belongs to user %u", static_cast<unsigned>(st.st_uid));
      rv = kRecoveryFailed;
    } else if (!identity.Enter(st.st_uid)) {
      LOG("refusing the journal: cannot act as its owner, user %u",
          static_cast<unsigned>(st.st_uid));
      rv = kRecoveryFailed;
    } else {
      LOG("replaying the journal as its owner, user %u", static_cast<unsigned>(st.st_uid));
    }
  }
  bool finished = false;
  if (rv != kOk) {
    // Nothing is changed: the claims are not a run's.
  } else if (records.empty()) {
    LOG("found the work directory of an update that had changed nothing: %s/%s", where.c_str(),
        kWorkDir);
  } else if (records.back().type == kJournalRolledBack) {
    LOG("found an update that had been rolled back: %s/%s", where.c_str(), kWorkDir);
  } else if (records.back().type == kJournalFinished) {
    finished = true;
    LOG("found an update finished by an earlier recovery: %s", where.c_str());
  } else {
    bool committed = false;
    for (const JournalRecord& r : records) committed |= r.type == kJournalCommit;
    LOG("found an interrupted update (%zu journal records), %s", records.size(),
        committed ? "committed: finishing it" : "not committed: undoing it");
    Replay replay(root, records);
    rv = committed ? replay.Finish() : replay.Undo();
    finished = committed;
    if (rv == kOk && committed && keep)
      rv = SyncAt(root) == 0 ? MarkFinished(root, fd) : kRecoveryFailed;
  }
  if (rv == kOk && finished) recovery->recoveredCommit = records.front().fields[0];
  if (rv == kOk && SyncAt(root) != 0) rv = kRecoveryFailed;
  // The journal goes last: until then a later run can still replay it.
  if (rv == kOk && RemoveWork(root, finished && keep) != 0) rv = kRecoveryFailed;
  if (fd >= 0) close(fd);
  LOG(rv == kOk ? "recovered the installation: %s" : "failed to recover the installation: %s",
      where.c_str());
  return rv;
}

}  // namespace

int ClearStagedDir(const Run& run) {
  std::string dir = run.applyToDir;
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
  ensure_remove_recursive(AT_FDCWD, fresh.c_str());
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
    ensure_remove_recursive(AT_FDCWD, fresh.c_str());
    return Exists(dir) ? kRecoveryFailed : kOk;  // the run itself reports a missing one
  }
  return kOk;
}

int RecoverInstallation(Run& run) {
  if (!run.hasInstallDir) return kOk;  // the run reports it
  int rv = RecoverSwap(run);
  if (rv != kOk) return rv;
  const char* installDir = run.installDir;
  int root = open(installDir, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (root < 0) return kOk;  // the run reports a missing installation
  // Every path of the journal resolves beneath the installation.
  // Only an in-place run can take note of an update finished here.
  rv =
      RecoverJournal(root, installDir, !run.isStagedUpdate && !run.isReplaceRequest, &run.recovery);
  close(root);
  return rv;
}

int BeginRunJournal(Run& run, const char* identity) {
  run.recovery.journalBegun = true;
  std::string journal = std::string(run.applyToDir) + "/" + kJournalName;
  return run.backups.journal.Begin(journal.c_str(), identity);
}

bool UpdateAlreadyApplied(const Run& run, const std::string& identity) {
  const std::string& commit = run.recovery.recoveredCommit;
  return !commit.empty() && commit == identity;
}

int CommitRun(Run& run) {
  int rv = sync_file_system(run.applyToDir);
  return rv == kOk ? run.backups.journal.Add(kJournalCommit, {}, true) : rv;
}

void EndRunJournal(Run& run, int rv, bool undone) {
  run.recovery.rollbackIncomplete = rv != kOk && !undone;
  if (run.recovery.rollbackIncomplete) {
    LOG("the rollback is incomplete: the next run finishes undoing it");
  }
  sync_file_system(run.applyToDir);
  // After the flush of what the rollback put back: on disk before it, the
  // record would let recovery skip a rollback a power loss had undone.
  if (rv != kOk && undone && run.backups.journal.Add(kJournalRolledBack, {}, false) == kOk)
    sync_file_system(run.applyToDir);
  run.backups.journal.Close();
}

void RemoveRunJournal(const Run& run, int rv) {
  if (run.isStagedUpdate && rv != kOk) {
    RemoveStagedCopy(run.applyToDir);
    return;
  }
  if (!run.isStagedUpdate) {
    // A failed run that never began its journal leaves the finished one
    // recovery kept: the update it names is still applied.
    // Beneath the apply-to directory, or the installation (the same directory
    // here) when it could not be entered.
    const int root = run.applyTo >= 0 ? run.applyTo : run.install;
    if (root >= 0)
      RemoveWork(root,
                 run.recovery.rollbackIncomplete || (rv != kOk && !run.recovery.journalBegun));
    return;
  }
  // The staged copy is complete once its work directory is gone: the journal
  // goes first. Beneath the copy the run opened, as all else it did there.
  const int root = run.applyTo;
  if (root < 0) return;
  struct stat st;
  if (stat_beneath(root, kJournalName, &st, false) == 0 && S_ISREG(st.st_mode))
    remove_beneath(root, kJournalName);
  if (RemoveBeneath(root, kWorkDir) == 0) {
    int fd = openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && fsync(fd) != 0) LOG("failed to flush the staged copy's directory");
    if (fd >= 0) close(fd);
  }
}

void ForecastRecovery(const char* root, RecoveryForecast* out) {
  // Where the installation cannot be opened, recovery finds nothing to do
  // and the run reports the directory itself.
  int dir = open(root, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return;
  int fd = openat(dir, kJournalName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  close(dir);
  if (fd < 0) {
    if (errno != ENOENT) {
      out->refused = kRecoveryFailed;
      out->reason = "it cannot be opened as a file";
    }
    return;
  }
  std::vector<JournalRecord> records;
  struct stat st;
  if (ReadClaims(fd, &records, &out->reason) != kOk) {
    out->refused = kRecoveryFailed;
  } else if (fstat(fd, &st) == 0 && st.st_uid != geteuid() && geteuid() != 0) {
    out->refused = kRecoveryFailed;
    out->reason = "it belongs to another user";
  }
  close(fd);
  if (out->refused || records.empty() || records.back().type == kJournalRolledBack) return;
  for (const JournalRecord& r : records) out->committed |= r.type == kJournalCommit;
  if (out->committed) {
    out->identity = records.front().fields[0];
    return;
  }
  // As Replay::Undo would find them, in the order the run made them.
  std::map<std::string, std::string>& through = out->through;
  std::set<std::string> announced;  // a backup planned: Undo keeps what stands there
  for (const JournalRecord& r : records) {
    const std::vector<std::string>& f = r.fields;
    struct stat backup;
    if (r.type == kJournalBackup || r.type == kJournalPlanned) {
      std::string at = std::string(root) + "/" + f[1];
      if (lstat(at.c_str(), &backup) == 0) through[f[0]] = f[1];
      announced.insert(f[0]);
    } else if (r.type == kJournalMove) {
      for (auto& entry : through)
        if (entry.second == f[0]) entry.second = f[1];
    } else if (r.type == kJournalCreate && !through.count(f[0]) && !announced.count(f[0])) {
      through[f[0]] = "";
      size_t first = strtoul(f[1].c_str(), nullptr, 10);
      for (size_t slash = f[0].rfind('/'); first && slash != std::string::npos && slash >= first;
           slash = slash ? f[0].rfind('/', slash - 1) : std::string::npos) {
        through.insert({f[0].substr(0, slash), ""});
      }
    }
  }
}

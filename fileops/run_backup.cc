#include "fileops/run_backup.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>

#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"
#include "fileops/journal.h"

namespace {

// "dev ino" of the entry at `path`; empty when there is none.
std::string Identity(int root, const char* path) {
  struct stat st;
  if (stat_beneath(root, path, &st, false) != 0) return "";
  char id[64];
  snprintf(id, sizeof(id), "%llu %llu", static_cast<unsigned long long>(st.st_dev),
           static_cast<unsigned long long>(st.st_ino));
  return id;
}

}  // namespace

bool RunBackups::Taken(const std::string& name) const {
  struct stat st;
  return stat_beneath(root, name.c_str(), &st, false) == 0 || registry_.count(name) != 0 ||
         planned_.count(name);
}

std::string RunBackups::FreshName(const std::string& base) const {
  std::string name = base;
  for (int n = 1; Taken(name) && n < 1000; ++n) name = base + "-" + std::to_string(n);
  return name.size() < kMaxPath && !Taken(name) ? name : std::string();
}

RunBackup::~RunBackup() {
  Forget();
  if (backups_) backups_->planned_.erase(planned_);
}

int RunBackup::Plan(RunBackups& backups, const char* path) {
  backups_ = &backups;
  std::string id = Identity(backups.root, path);
  if (id.empty()) return kOk;
  std::string name = backups.FreshName(std::string(path) + kBackupSuffix);
  if (name.empty()) return kOk;  // Create reports it
  int rv = backups.journal.Add(kJournalPlanned, {path, name.c_str(), id.c_str()}, false);
  if (rv != kOk) return rv;
  planned_ = name;
  planned_id_ = id;
  backups.planned_.insert(name);
  return kOk;
}

void RunBackup::Forget() {
  if (backups_) {
    auto it = backups_->registry_.find(name_);
    if (it != backups_->registry_.end() && it->second == this) backups_->registry_.erase(it);
  }
  name_.clear();
}

int RunBackup::Create(RunBackups& backups, const char* path) {
  backups_ = &backups;
  std::string id = Identity(backups.root, path), name = planned_;
  backups.planned_.erase(planned_);
  planned_.clear();
  // The plan is on disk already: the record that it was used need not be.
  bool durable = name.empty() || id != planned_id_ || backups.Taken(name);
  if (durable) name = backups.FreshName(std::string(path) + kBackupSuffix);
  if (name.empty()) {
    LOG("backup_create: backup path too long: %s%s", path, kBackupSuffix);
    return kWriteError;
  }
  if (id.empty()) return rename_file(backups.root, path, name.data(), false);
  int rv = backups.journal.Add(kJournalBackup, {path, name.c_str(), id.c_str()}, durable);
  if (rv == kOk) rv = rename_file(backups.root, path, name.data(), false);
  if (rv != kOk) return rv;
  name_ = name;
  backups.registry_[name_] = this;
  return kOk;
}

int RunBackup::Restore(const char* path) {
  struct stat st;
  if (!made() || stat_beneath(backups_->root, name_.c_str(), &st, false) != 0) {
    LOG("backup_restore: backup file doesn't exist: %s",
        made() ? name_.c_str() : (std::string(path) + kBackupSuffix).c_str());
    Forget();
    return kOk;
  }
  // rename_file may write into its destination buffer; keep `path` untouched.
  std::string target(path);
  int rv = rename_file(backups_->root, name_.c_str(), target.data(), false);
  // A backup that could not be put back stays registered: the rollback
  // reports it, and the journal keeps it for the next run.
  if (rv == kOk) Forget();
  return rv;
}

int RunBackup::Delete() {
  struct stat st;
  if (!made() || stat_beneath(backups_->root, name_.c_str(), &st, false) != 0) {
    Forget();
    return kOk;
  }
  if (ensure_remove(backups_->root, name_.c_str()) != 0) return kWriteError;
  Forget();
  return kOk;
}

int backup_make_way(RunBackups& backups, const char* path) {
  auto it = backups.registry_.find(path);
  if (it == backups.registry_.end()) return kOk;
  RunBackup* owner = it->second;
  std::string name = backups.FreshName(owner->name_);
  if (name.empty()) {
    LOG("backup_create: backup path too long: %s%s", path, kBackupSuffix);
    return kWriteError;
  }
  int rv = backups.journal.Add(kJournalMove, {path, name.c_str()}, true);
  if (rv == kOk && rename_beneath(backups.root, path, name.c_str()) != 0) {
    LOG("rename_file: failed to rename file - src: %s, dst:%s, err: %d", path, name.c_str(), errno);
    rv = kWriteError;
  }
  if (rv != kOk) return rv;
  backups.registry_.erase(it);
  owner->name_ = name;
  backups.registry_[name] = owner;
  return kOk;
}

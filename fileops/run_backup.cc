#include "fileops/run_backup.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <set>

#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"
#include "fileops/journal.h"

namespace {

// The run's backups by name; the worker thread alone touches them.
std::map<std::string, RunBackup*>& Registry() {
  static std::map<std::string, RunBackup*> registry;
  return registry;
}

// Names planned in the prepare phase, not yet used.
std::set<std::string>& Planned() {
  static std::set<std::string> planned;
  return planned;
}

bool Taken(const std::string& name) {
  struct stat st;
  return stat_beneath(name.c_str(), &st, false) == 0 || Registry().count(name) != 0 ||
         Planned().count(name);
}

// "dev ino" of the entry at `path`; empty when there is none.
std::string Identity(const char* path) {
  struct stat st;
  if (stat_beneath(path, &st, false) != 0) return "";
  char id[64];
  snprintf(id, sizeof(id), "%llu %llu", static_cast<unsigned long long>(st.st_dev),
           static_cast<unsigned long long>(st.st_ino));
  return id;
}

// `base`, or `base` with "-N" appended, whichever is free first; empty when
// none that fits a path buffer is free.
std::string FreshName(const std::string& base) {
  std::string name = base;
  for (int n = 1; Taken(name) && n < 1000; ++n) name = base + "-" + std::to_string(n);
  return name.size() < kMaxPath && !Taken(name) ? name : std::string();
}

}  // namespace

RunBackup::~RunBackup() {
  Forget();
  Planned().erase(planned_);
}

int RunBackup::Plan(const char* path) {
  std::string id = Identity(path);
  if (id.empty()) return kOk;
  std::string name = FreshName(std::string(path) + kBackupSuffix);
  if (name.empty()) return kOk;  // Create reports it
  int rv = gJournal.Add(kJournalPlanned, {path, name.c_str(), id.c_str()}, false);
  if (rv != kOk) return rv;
  planned_ = name;
  planned_id_ = id;
  Planned().insert(name);
  return kOk;
}

void RunBackup::Forget() {
  auto it = Registry().find(name_);
  if (it != Registry().end() && it->second == this) Registry().erase(it);
  name_.clear();
}

int RunBackup::Create(const char* path) {
  std::string id = Identity(path), name = planned_;
  Planned().erase(planned_);
  planned_.clear();
  // The plan is on disk already: the record that it was used need not be.
  bool durable = name.empty() || id != planned_id_ || Taken(name);
  if (durable) name = FreshName(std::string(path) + kBackupSuffix);
  if (name.empty()) {
    LOG("backup_create: backup path too long: %s%s", path, kBackupSuffix);
    return kWriteError;
  }
  if (id.empty()) return rename_file(path, name.data(), false);
  int rv = gJournal.Add(kJournalBackup, {path, name.c_str(), id.c_str()}, durable);
  if (rv == kOk) rv = rename_file(path, name.data(), false);
  if (rv != kOk) return rv;
  name_ = name;
  Registry()[name_] = this;
  return kOk;
}

size_t backups_outstanding() { return Registry().size(); }

int RunBackup::Restore(const char* path) {
  struct stat st;
  if (!made() || stat_beneath(name_.c_str(), &st, false) != 0) {
    LOG("backup_restore: backup file doesn't exist: %s",
        made() ? name_.c_str() : (std::string(path) + kBackupSuffix).c_str());
    Forget();
    return kOk;
  }
  // rename_file may write into its destination buffer; keep `path` untouched.
  std::string target(path);
  int rv = rename_file(name_.c_str(), target.data(), false);
  // A backup that could not be put back stays registered: the rollback
  // reports it, and the journal keeps it for the next run.
  if (rv == kOk) Forget();
  return rv;
}

int RunBackup::Delete() {
  struct stat st;
  if (!made() || stat_beneath(name_.c_str(), &st, false) != 0) {
    Forget();
    return kOk;
  }
  if (ensure_remove(name_.c_str()) != 0) return kWriteError;
  Forget();
  return kOk;
}

int backup_make_way(const char* path) {
  auto it = Registry().find(path);
  if (it == Registry().end()) return kOk;
  RunBackup* owner = it->second;
  std::string name = FreshName(owner->name_);
  if (name.empty()) {
    LOG("backup_create: backup path too long: %s%s", path, kBackupSuffix);
    return kWriteError;
  }
  int rv = gJournal.Add(kJournalMove, {path, name.c_str()}, true);
  if (rv == kOk && rename_beneath(path, name.c_str()) != 0) {
    LOG("rename_file: failed to rename file - src: %s, dst:%s, err: %d", path, name.c_str(), errno);
    rv = kWriteError;
  }
  if (rv != kOk) return rv;
  Registry().erase(it);
  owner->name_ = name;
  Registry()[name] = owner;
  return kOk;
}

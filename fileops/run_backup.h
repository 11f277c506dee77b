// The backups a run makes of the files it replaces or removes. Each one gets
// a name that nothing else had ("<path>.quil-backup", or with "-N" appended
// while that is taken), announced in the journal before the file moves, so
// that a file that merely looks like a backup is never restored or deleted
// as one, and one the run made is never taken for an installed file.
#ifndef UPDATER_FILEOPS_RUN_BACKUP_H_
#define UPDATER_FILEOPS_RUN_BACKUP_H_

#include <fcntl.h>

#include <map>
#include <set>
#include <string>

#include "fileops/journal.h"

class RunBackup;

// The backups of one run and its journal: which backup name each of the
// run's backups holds, and the names planned while preparing. Owned by the
// run; touched by its worker thread alone.
class RunBackups {
 public:
  // The installation directory the backups' relative paths resolve beneath
  // (beneath.h), kept open by the run; AT_FDCWD: the working directory.
  int root = AT_FDCWD;
  Journal journal;
  // How many backups are still under their backup names: neither restored
  // nor deleted (a rollback that met a failing rename leaves them).
  size_t outstanding() const { return registry_.size(); }

 private:
  friend class RunBackup;
  friend int backup_make_way(RunBackups& backups, const char* path);
  bool Taken(const std::string& name) const;
  // `base`, or `base` with "-N" appended, whichever is free first; empty when
  // none that fits a path buffer is free.
  std::string FreshName(const std::string& base) const;

  std::map<std::string, RunBackup*> registry_;
  std::set<std::string> planned_;
};

// One action's backup, in the run's RunBackups given to Plan or Create.
class RunBackup {
 public:
  RunBackup() = default;
  ~RunBackup();
  RunBackup(const RunBackup&) = delete;
  RunBackup& operator=(const RunBackup&) = delete;

  // In the prepare phase: picks the backup name for the file now at `path`
  // (nothing there: none) and records it in the journal without flushing;
  // one flush after the phase covers every plan. 0 or 7.
  int Plan(RunBackups& backups, const char* path);
  // Moves `path` to its planned name when that still fits (same file, name
  // still free), else to a fresh one announced by a flushed record. 0, 6 or 7
  // (7 also when the journal cannot be written or the name does not fit).
  int Create(RunBackups& backups, const char* path);
  // Moves the backup back over `path`. Without one, logs that "<path>.quil-backup"
  // does not exist and returns 0. 0, 6 or 7.
  int Restore(const char* path);
  // Deletes the backup, if one was made. 0 or 7.
  int Delete();
  bool made() const { return !name_.empty(); }

 private:
  friend int backup_make_way(RunBackups& backups, const char* path);
  void Forget();

  RunBackups* backups_ = nullptr;
  std::string name_;
  std::string planned_, planned_id_;
};

// When `path` is a backup this run made, moves that backup to another fresh
// name, so that an action about to create, replace or remove `path` finds
// what the installation had there. 0 or 7.
int backup_make_way(RunBackups& backups, const char* path);

#endif  // UPDATER_FILEOPS_RUN_BACKUP_H_

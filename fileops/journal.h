// The run's journal: an append-only file in the run's work directory that
// records, before each change to the installation, what that change is, so
// that a run killed at any moment can be undone (or, once the commit record
// is written, finished) by the next run without guessing from file names.
//
// A record is one type byte, a fixed number of NUL-terminated fields (paths
// relative to the apply-to directory) and a line feed. A record cut short by
// a crash ends the journal.
#ifndef UPDATER_FILEOPS_JOURNAL_H_
#define UPDATER_FILEOPS_JOURNAL_H_

#include <initializer_list>
#include <string>
#include <vector>

enum JournalType : char {
  kJournalBegin = 'S',       // identity of the run's update
  kJournalPlanned = 'P',     // as a backup, planned in the prepare phase (maybe never made)
  kJournalBackup = 'B',      // path, backup name, "dev ino" of the file moved
  kJournalCreate = 'C',      // path of a new file, length of its first new directory
  kJournalMove = 'M',        // a backup of the run moved from one name to another
  kJournalRmdir = 'X',       // a directory removed once the run has committed
  kJournalCommit = 'K',      // the run succeeded: only its backups are left to delete
  kJournalRolledBack = 'U',  // the run failed and everything was put back
  kJournalFinished = 'F',    // after the commit: a recovery deleted every backup
};

struct JournalRecord {
  char type;
  std::vector<std::string> fields;
};

class Journal {
 public:
  // Creates the file `path` afresh and makes the begin record durable. 0 or 7.
  int Begin(const char* path, const char* identity);
  // Appends one record. `durable`: it and every earlier record are on disk
  // before this returns (the change it announces may then be made). 0, or 7
  // (logged); 0 without doing anything while no journal is open.
  int Add(JournalType type, std::initializer_list<const char*> fields, bool durable);
  // Flushes every record written so far. 0 or 7; 0 while no journal is open.
  int Sync();
  void Close();
  bool active() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Every complete record of the journal open at `fd`, read from its start. A
// last record cut short (a crash while it was written) ends the journal, and
// so do NUL bytes up to the end of the file (the unflushed end after a power
// loss: they are dropped, with any record they cut). False,
// with the reason in `reason`, when the file cannot be read, is larger than a
// run could have written, or holds anything but whole records of known types
// before that last one.
bool read_journal(int fd, std::vector<JournalRecord>* out, std::string* reason);

// The records are claims, checked before any is acted on: true when they are
// records a run could have written, in an order it could have written them.
// The begin record comes first and once; the commit at most once, followed by
// nothing but the finished record; the rolled-back record ends a journal
// without a commit. Every path is relative and non-empty, without empty, "."
// or ".." components; a backup name is one the run makes for that path
// ("<path>.quil-backup", or with "-N" appended for N from 1 to 999); a move
// goes from a backup name the journal already announced to another backup
// name of the same path; a create record's length of the first new directory
// is 0 or ends a leading part of the path at a '/'. False with the reason.
bool validate_journal(const std::vector<JournalRecord>& records, std::string* reason);

// True when `name` is a name the run gives the backup of `path`.
bool is_backup_name_of(const std::string& name, const std::string& path);

// Removes every entry of the directory `dir` (beneath `root`) but the one named `keep`, which
// is left for the caller to remove last, by descriptors (remove_entries_at in
// fileops.h); `dir` itself is opened without following a final link. 0, or
// -1 when something stays.
int remove_tree_keeping(int root, const char* dir, const char* keep);

#endif  // UPDATER_FILEOPS_JOURNAL_H_

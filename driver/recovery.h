// Crash safety of the runs on one installation. A run's journal
// ("<apply-to>/updating.journal", fileops/journal.h) lets the next run undo
// an interrupted one, or finish it when it had committed. A staged copy
// counts as complete only once its "updating" directory is gone. What an
// interrupted replace request left is recovered by driver/swap.h, first.
#ifndef UPDATER_DRIVER_RECOVERY_H_
#define UPDATER_DRIVER_RECOVERY_H_

#include <map>
#include <string>

struct Run;

// The first step of every run, after the log is open and before the archive
// is read: puts back an installation left at "<installation>.bak" by an
// interrupted replace request (or removes the old one a completed swap left:
// RecoverSwap), and undoes or finishes an interrupted in-place run. The journal's records
// are claims: all are checked (validate_journal) before any is acted on, and
// each operation resolves its paths beneath the installation directory, opened
// without following a link. A journal that is not a regular file of one name,
// or whose records a run could not have written, is refused: "refusing the
// journal: <reason>" and 52, nothing changed. A journal of another user's run
// is replayed with that user's file-system identity when root recovers, and
// refused otherwise. A committed run finished here leaves its journal, marked
// finished, for the in-place run that follows (UpdateAlreadyApplied). 0, or
// 52 when the installation could not be brought back. What it found goes to
// run.recovery.
int RecoverInstallation(Run& run);
// A staged run's apply-to directory, empty but for "updating", which marks
// the copy incomplete from the moment it exists, and the mark ".quil-staged",
// which tells the updater's own staged copy from anything else of that name.
// An existing directory is cleared only when it carries either or is empty;
// another is left as it is (logged). 0 or 52.
int ClearStagedDir(const Run& run);

// Opens the run's journal (run.backups.journal) beside "<applyToDir>/updating"
// with the identity of the update (the SHA-256 of the whole archive,
// qex_file_sha256). 0 or 7.
int BeginRunJournal(Run& run, const char* identity);
// True when RecoverInstallation found an interrupted run of the update with
// this identity finished after its commit: there is nothing left to apply.
// Asked before BeginRunJournal, which replaces that run's journal.
bool UpdateAlreadyApplied(const Run& run, const std::string& identity);
// After a successful execute phase: flushes every change, then writes the
// commit record. 0 or 7.
int CommitRun(Run& run);
// After the finish phase: flushes everything; after a failure then records
// (and flushes) that the rollback is complete when `undone`, else logs that it is not and keeps
// the journal for the next run to finish the undo.
void EndRunJournal(Run& run, int rv, bool undone);
// After the final status: removes "updating", then the journal (kept after an
// incomplete rollback). A failed staged copy is thrown away, its "updating"
// last.
void RemoveRunJournal(const Run& run, int rv);

// What the next run's recovery makes of the in-place installation at `root`,
// for the dry run, which must predict the run that follows the recovery.
struct RecoveryForecast {
  // 52 when recovery would refuse the journal (`reason` says why).
  int refused = 0;
  std::string reason;
  // A committed run of the update `identity`: recovery finishes it.
  bool committed = false;
  std::string identity;
  // Not committed: the paths whose present state recovery changes, each
  // mapped to the name its file is found under until then ("" for a path
  // the run created: absent after recovery).
  std::map<std::string, std::string> through;
};
// Reads and checks the journal as RecoverInstallation does, changing nothing.
void ForecastRecovery(const char* root, RecoveryForecast* out);

#endif  // UPDATER_DRIVER_RECOVERY_H_

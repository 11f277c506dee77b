// The replace request: the staged copy "<installation>/updated" that a staged
// update made is swapped into the installation's place, and the old
// installation, moved aside to "<installation>.bak", deleted. Marks make every
// step recoverable: the installation moved aside carries one, so that only
// that directory is ever deleted as the old installation, and the staged copy
// carries another from the moment the request accepts it until its final
// status, so that recovery can tell a swap done from one never begun.
#ifndef UPDATER_DRIVER_SWAP_H_
#define UPDATER_DRIVER_SWAP_H_

struct Run;

// The part of recovery (RecoverInstallation) that comes first: puts back an
// installation left at "<installation>.bak" by an interrupted request, or
// removes the old one that a completed swap left (then run.recovery.swapDone).
// Nothing to do without run.installDir. 0 or 52.
int RecoverSwap(Run& run);

// Right after the lock, before the status changes: marks the staged copy of a
// replace request as the one this installation's requests move in, so that
// the same request started again after a kill is not refused. 0 (also for
// any other run) or 7.
int AcceptStagedCopy(const Run& run);
// For the command line: an interrupted replace request left something that
// recovery finishes or undoes, so "<installation>.bak" is its own.
bool ResumesSwap(const char* installDir);
// The staged copy carries the mark of AcceptStagedCopy.
bool StagedCopyAccepted(const char* installDir);

// Swaps the staged copy into the installation's place (done at once when
// recovery found the swap done). Returns the result: 0, 51 for an incomplete
// staged copy, 50 when stopped, else the failing step's code; on failure the
// old installation is back in place unless run.recovery.swapStranded.
int RunReplace(Run& run);
// Writes the final status of RunReplace's result `rv`: "succeeded" (and the
// staged copy's mark goes); after a failure, unless run.noReplaceFallback or
// the swap is stranded, removes the staged copy, writes "pending" and
// suppresses the callback (run.noCallback); else "failed: rv".
void FinishReplace(Run& run, int rv);

// Deletes a staged copy, its "updating" last, so that no part of it is ever
// taken for a complete one.
void RemoveStagedCopy(const char* dir);

#endif  // UPDATER_DRIVER_SWAP_H_

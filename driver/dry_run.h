// updater --check [--json] update-dir apply-to-dir: everything an update
// would do and whether it would succeed, without changing anything anywhere
// (no status file, no log, no "updating" directory, no file touched; for a
// missing apply-to directory, an empty private one in the temporary
// directory stands in while the check runs).
//
// It takes the steps of the run in the run's order: the recovery of an
// interrupted run, the signature, channel and version checks, the apply-to
// directory (which the run makes when missing, or fails to enter), the work
// directory, the manifest parsed against the installation as the update
// would, then each action's own check, which decodes the entries that action
// uses (and only those: an entry no line names is never read, as in the run),
// and the free space the update needs. The report goes to standard output, as
// text or as one JSON object.
#ifndef UPDATER_DRIVER_DRY_RUN_H_
#define UPDATER_DRIVER_DRY_RUN_H_

struct Run;

// Runs the check of the update in run.updateDir against run.applyToDir (both
// resolved, ReadCommandLine), as text or JSON (run.json). Returns the exit
// code: 0 when the update would succeed, 1 when it would fail.
int RunDryRun(const Run& run);

#endif  // UPDATER_DRIVER_DRY_RUN_H_

// updater --check [--json] update-dir apply-to-dir: everything an update
// would do and whether it would succeed, without changing anything anywhere
// (no status file, no log, no "updating" directory, no file touched).
//
// It makes the signature, channel and version checks of the run, reads the
// whole archive (every entry decoded and discarded), parses the
// manifest against the installation as the update would, resolves the
// conditional actions, checks each file to patch (present, size, CRC), each
// removal as the prepare phase does, the directories the update writes into,
// and the free space it needs. The report goes to standard output, as text or
// as one JSON object.
#ifndef UPDATER_DRIVER_DRY_RUN_H_
#define UPDATER_DRIVER_DRY_RUN_H_

struct Run;

// Runs the check of the update in run.updateDir against run.applyToDir (both
// resolved, ReadCommandLine), as text or JSON (run.json). Returns the exit
// code: 0 when the update would succeed, 1 when it would fail.
int RunDryRun(const Run& run);

#endif  // UPDATER_DRIVER_DRY_RUN_H_

// The one line a run ends with on standard error, for the person who started
// it: "updater: succeeded", or "updater: failed: N (see <log>)".
#ifndef UPDATER_DRIVER_OUTCOME_H_
#define UPDATER_DRIVER_OUTCOME_H_

struct Run;

// Reads run.runSucceeded, run.lastStatus and the log's path.
void ReportOutcome(const Run& run);

#endif  // UPDATER_DRIVER_OUTCOME_H_

// The one-line status file "update.status" in the update directory.
#ifndef UPDATER_DRIVER_STATUS_H_
#define UPDATER_DRIVER_STATUS_H_

struct Run;

// Exact status texts; other programs read these bytes.
constexpr const char kStatusApplying[] = "applying";
constexpr const char kStatusApplied[] = "applied\n";
constexpr const char kStatusSucceeded[] = "succeeded\n";
constexpr const char kStatusPending[] = "pending";

// Rewrites "<run.updateDir>/update.status" with `text`, creating missing
// parent directories (0755), and keeps the text, written or not, as
// run.lastStatus. True when the whole text was written.
bool WriteStatus(Run& run, const char* text);
// Writes "failed: <code>\n".
bool WriteStatusFailed(Run& run, int code);

#endif  // UPDATER_DRIVER_STATUS_H_

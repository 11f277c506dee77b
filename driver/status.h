// The one-line status file "update.status" in the update directory.
#ifndef UPDATER_DRIVER_STATUS_H_
#define UPDATER_DRIVER_STATUS_H_

// Exact status texts; other programs read these bytes.
constexpr const char kStatusApplying[] = "applying";
constexpr const char kStatusApplied[] = "applied\n";
constexpr const char kStatusSucceeded[] = "succeeded\n";
constexpr const char kStatusPending[] = "pending";

// Rewrites "<updateDir>/update.status" with `text`, creating missing parent
// directories (0755). True when the whole text was written.
bool WriteStatus(const char* text);
// Writes "failed: <code>\n".
bool WriteStatusFailed(int code);
// The text of the last WriteStatus call, written or not; "" before the first.
const char* LastStatus();

#endif  // UPDATER_DRIVER_STATUS_H_

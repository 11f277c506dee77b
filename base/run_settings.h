// Process-wide run settings, fixed on the main thread before the worker starts.
#ifndef UPDATER_BASE_RUN_SETTINGS_H_
#define UPDATER_BASE_RUN_SETTINGS_H_

#include <atomic>

#include "base/paths.h"

// Update directory (holds update.qex, update.status, update.log).
extern char updateDir[kMaxPath];
// Directory the update is applied to; the current directory during the run.
extern char applyToDir[kMaxPath];
extern bool isStagedUpdate;
extern bool isReplaceRequest;
extern bool isOsUpdate;
// Set by the worker on success; read by the main thread after the join.
extern bool runSucceeded;
// Set once a stop signal arrived; the worker then stops between two actions.
extern std::atomic<bool> stopRequested;

#endif  // UPDATER_BASE_RUN_SETTINGS_H_

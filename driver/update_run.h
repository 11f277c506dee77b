// The worker thread's update run: ordinary and staged updates, and the replace
// request that swaps a staged copy into place.
#ifndef UPDATER_DRIVER_UPDATE_RUN_H_
#define UPDATER_DRIVER_UPDATE_RUN_H_

#include <cstddef>

// Installation directory: applyToDir itself for an ordinary update, its parent
// for a staged update or a replace request. False when no parent can be
// derived (no "/" in the path). `out` must hold 1024 bytes.
bool ComputeInstallDir(char* out);

// Body of the worker thread. Reports through the status file, the log and
// runSucceeded; ends by calling QuitProgressUI.
void DoUpdate();

#endif  // UPDATER_DRIVER_UPDATE_RUN_H_

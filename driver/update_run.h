// The worker thread's update run: ordinary and staged updates, and the replace
// request that swaps a staged copy into place (driver/swap.h).
#ifndef UPDATER_DRIVER_UPDATE_RUN_H_
#define UPDATER_DRIVER_UPDATE_RUN_H_

struct Run;

// Body of the worker thread, once the driver has opened run.applyTo and
// run.archive (both -1 for a replace request). Reports through the status
// file, the log and run.runSucceeded; ends by asking the progress window to
// quit (run.progress).
void DoUpdate(Run& run);

#endif  // UPDATER_DRIVER_UPDATE_RUN_H_

// The worker thread's update run: ordinary and staged updates, and the replace
// request that swaps a staged copy into place.
#ifndef UPDATER_DRIVER_UPDATE_RUN_H_
#define UPDATER_DRIVER_UPDATE_RUN_H_

#include <cstddef>

// Installation directory: applyToDir itself for an ordinary update, its parent
// for a staged update or a replace request. False when no parent can be
// derived (no "/" in the path). `out` must hold 1024 bytes.
bool ComputeInstallDir(char* out);

// The descriptors the driver opened for a run; they stay open until the
// process ends.
struct RunFiles {
  // The apply-to directory (the one set_install_dir resolves beneath); -1
  // for a replace request.
  int apply_to = -1;
  // The update archive (OpenUpdateArchive, driver/update_archive.h): every
  // read of the run goes to it. -1 for a replace request.
  int archive = -1;
};

// Body of the worker thread. Reports through the status file, the log and
// runSucceeded; ends by calling QuitProgressUI.
void DoUpdate(const RunFiles& files);

#endif  // UPDATER_DRIVER_UPDATE_RUN_H_

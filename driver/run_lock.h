// One run at a time per installation: an advisory lock on the installation
// directory itself, held until the process ends or relaunches. It creates no
// file, so the installation looks the same to anyone comparing trees.
#ifndef UPDATER_DRIVER_RUN_LOCK_H_
#define UPDATER_DRIVER_RUN_LOCK_H_

enum class RunLockResult {
  kLocked,       // this run holds the lock
  kBusy,         // another run holds it; touch nothing
  kNoDirectory,  // nothing to lock: the directory can be neither opened nor created
};

// Locks the installation directory of the run settings (see ComputeInstallDir),
// creating the apply-to directory of an ordinary update when it is missing.
// Call after ReadCommandLine and before anything is read or written; the lock
// is released when the process exits or execs.
RunLockResult TakeRunLock();

#endif  // UPDATER_DRIVER_RUN_LOCK_H_

// One run at a time per installation, and none on an installation nested in
// another that a run holds. The locks are held until the run's value goes or
// the process relaunches (their descriptors are close-on-exec).
//
// Every run takes an exclusive lock on its installation directory and a shared
// one on every directory enclosing it, up to "/", so that runs on "app" and on
// "app/sub" refuse each other. The directories are found through "..", so a
// lock follows the directory, not a name leading to it.
//
// A run of root locks files that only root can create, "/run/updater/<dev>-
// <ino>.lock" (the device and inode of the directory, in decimal) in a
// directory that must be root's own with mode 0700 and no link: a user who can
// read the installation cannot hold root off. It also tries the directory's own
// flock without waiting, so that a user's run on the same installation is
// refused while root's runs; when a user holds that flock, root goes on under
// its own lock. Where /run/updater cannot be made or is not root's own, root
// locks the directories themselves, as any other user does. The lock files
// stay (one per directory ever locked, gone at the next boot); removing one
// would let two runs lock two different files of the same name.
#ifndef UPDATER_DRIVER_RUN_LOCK_H_
#define UPDATER_DRIVER_RUN_LOCK_H_

#include <string>

struct Run;

enum class RunLockResult {
  kLocked,       // this run holds the lock
  kBusy,         // another run holds it, or one on a nested installation; touch nothing
  kNoDirectory,  // nothing to lock: the directory can be neither opened nor created
};

// Locks the run's installation directory (Run::installDir), creating the
// apply-to directory of an ordinary update when it is missing (with the owner
// of the directory holding it), and keeps the locks in run.locks. Call after
// ReadCommandLine and before anything is read or written. `note` receives a line for the update
// log, which is not open yet, when the lock is not the usual one (a user holds
// the directory's flock, or root locks without /run/updater); else empty.
RunLockResult TakeRunLock(Run& run, std::string* note);

#endif  // UPDATER_DRIVER_RUN_LOCK_H_

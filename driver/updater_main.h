// The program's entry point: command line, environment, log, status,
// apply-to directory, worker thread, progress window and callback relaunch.
#ifndef UPDATER_DRIVER_UPDATER_MAIN_H_
#define UPDATER_DRIVER_UPDATER_MAIN_H_

// Returns the process exit code: 0 when the run succeeded, else 1. Does not
// return when the callback program was relaunched.
int UpdaterMain(int argc, char** argv);

#endif  // UPDATER_DRIVER_UPDATER_MAIN_H_

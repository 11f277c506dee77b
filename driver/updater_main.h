// The program's entry point: command line, environment, log, status,
// apply-to directory, worker thread, progress window and callback relaunch.
#ifndef UPDATER_DRIVER_UPDATER_MAIN_H_
#define UPDATER_DRIVER_UPDATER_MAIN_H_

class ProgressWindow;
struct Run;

// Returns the process exit code: 0 when the run succeeded, else 1. Does not
// return when the callback program was relaunched. `system_config_dir` is
// the configuration directory of a packaged updater, null for an embedded
// one (Run::systemConfigDir).
int UpdaterMain(int argc, char** argv, const char* system_config_dir);

// Everything after the command line for `run` (ReadCommandLine, not a check):
// lock, log, status, wait, recovery, checks, the worker and, for an ordinary
// update, `window` (prepared, showing run.progress; null: none). Changes the
// working directory to the apply-to directory, opened as run.applyTo, which
// the actions resolve their paths beneath. Returns as UpdaterMain.
int ApplyUpdate(Run& run, ProgressWindow* window);

#endif  // UPDATER_DRIVER_UPDATER_MAIN_H_

// Reading the command line, once, into the run, and refusing arguments that
// would make the run create or delete something it should not, before anything
// is touched.
#ifndef UPDATER_DRIVER_COMMAND_LINE_H_
#define UPDATER_DRIVER_COMMAND_LINE_H_

struct Run;

enum class CommandLineResult {
  kRun,          // the run is filled in; go on
  kExitSuccess,  // usage or version printed on standard output
  kExitFailure,  // refused, with a message on standard error
};

// Fills `run` from `argv` and the environment:
// - "updater update-dir apply-to-dir [wait-pid [callback-dir callback args...]]":
//   updateDir and applyToDir (both absolute), installDir, isStagedUpdate
//   (wait-pid -1), isReplaceRequest (wait-pid containing "/replace"), waitPid,
//   the callback, isOsUpdate (QUIL_OS_UPDATE), noCallback
//   (QUIL_PROCESS_UPDATES) and noReplaceFallback (QUIL_NO_REPLACE_FALLBACK);
//   a staged update or replace request that would delete what the updater did
//   not make is refused.
// - "updater --check [--json] update-dir apply-to-dir": check, json, and both
//   directories with every link resolved (each must exist).
// Creates, deletes and opens nothing but what it reads to decide.
CommandLineResult ReadCommandLine(int argc, char** argv, Run* run);

#endif  // UPDATER_DRIVER_COMMAND_LINE_H_

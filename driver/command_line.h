// Reading the command line into the run settings, and refusing arguments that
// would make the run create or delete something it should not, before anything
// is touched.
#ifndef UPDATER_DRIVER_COMMAND_LINE_H_
#define UPDATER_DRIVER_COMMAND_LINE_H_

enum class CommandLineResult {
  kRun,          // the settings are filled in; go on
  kExitSuccess,  // usage or version printed on standard output
  kExitFailure,  // refused, with a message on standard error
};

// Fills updateDir, applyToDir (both absolute), isStagedUpdate and
// isReplaceRequest from `argv`, and *pid with the process to wait for (0:
// none). Creates, deletes and opens nothing but what it reads to decide.
CommandLineResult ReadCommandLine(int argc, char** argv, int* pid);

#endif  // UPDATER_DRIVER_COMMAND_LINE_H_

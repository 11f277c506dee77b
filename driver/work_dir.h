// The run's work directory "updating" under the apply-to directory and the
// manifest extracted into it. Neither ever follows a link or deletes what the
// run did not make.
#ifndef UPDATER_DRIVER_WORK_DIR_H_
#define UPDATER_DRIVER_WORK_DIR_H_

// Makes "<applyToDir>/updating" with mkdir. A real directory already there
// (left by an earlier run) is used as it is. Returns 0 when the directory is
// ready; 42 when something else has the name (a file, a symbolic link), which
// is left alone; 7 when it cannot be created. Logs its failures.
int MakeWorkDir();

// Extracts "updatev3.manifest", or else "updatev2.manifest", into a new file
// at `path` created exclusively and without following a link; a regular file
// of that name left by an earlier run is replaced, anything else refused (42).
// Returns 0 or the failing extraction's code (7 when the file cannot be made).
int ExtractManifest(const char* path);

#endif  // UPDATER_DRIVER_WORK_DIR_H_

// A realistic mixed update for the fault-injection and disk-full tests: the
// installation, its archive, running the built updater on it, and the verdict
// on what a run left behind.
#ifndef UPDATER_TESTS_FAULT_UPDATE_H_
#define UPDATER_TESTS_FAULT_UPDATE_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace fault_testing {

using Snapshot = std::map<std::string, std::string>;

struct RunOutcome {
  bool exited = false;  // false: killed by a signal (a crash)
  int exit_code = -1;
  int signal = 0;
  std::string err;  // standard error
};

struct RunOptions {
  std::vector<std::string> env;    // extra "NAME=value" entries
  long long file_size_limit = -1;  // RLIMIT_FSIZE with SIGXFSZ ignored; -1: none
};

// Runs the updater at `binary` with `args` and no display, so no window shows.
// Sanitizer reports end the process with code 86, never 0 or 1.
RunOutcome RunUpdater(const std::string& binary, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// The installation of files of several sizes and modes, a tree, symbolic links
// and a precomplete file, with the archive of a complete update that adds,
// patches, conditionally adds, removes and removes a tree, over it.
class MixedUpdate {
 public:
  // `install_dir` and `update_dir` need not exist.
  MixedUpdate(std::string install_dir, std::string update_dir);

  // Removes whatever is at the installation directory and builds it afresh.
  // False when it cannot be built.
  bool MakeInstallation() const;
  // Writes update.qex into the update directory.
  bool WriteArchive() const;
  // The updater's arguments for an ordinary update, or for a staged update
  // into StagedDir().
  std::vector<std::string> Args(bool staged = false) const {
    if (staged) return {update_dir_, StagedDir(), "-1"};
    return {update_dir_, install_dir_};
  }
  std::string StagedDir() const { return install_dir_ + "/updated"; }

  // The installation as it stands now, without a staged copy in it.
  Snapshot Installation() const;
  // The directory the update is applied to: the installation, or its staged copy.
  Snapshot Target(bool staged) const;
  std::string Status() const;
  std::string Log() const;
  const std::string& install_dir() const { return install_dir_; }
  const std::string& update_dir() const { return update_dir_; }

 private:
  std::string install_dir_;
  std::string update_dir_;
  std::string big_old_;
  std::string big_new_;
  std::string data_old_;
  std::string data_new_;
};

// What a run left behind, checked against the installation before the run
// (`original`) and the target after a clean successful run (`updated`).
struct Verdict {
  std::vector<std::string> problems;  // each breaks the promise; empty: fine
  std::vector<std::string> notes;     // tolerated leftovers worth reporting
  bool succeeded = false;
};

// The rules: no crash; exit code 0 with "succeeded\n" and every updated entry
// in place, or exit code 1 with "failed: %d\n" (the same line ending the log)
// and the installation identical to `original`; no "updating" directory.
// Leftovers tolerated after a success: backup files and emptied directories
// whose removal failed (notes). With `allow_unrestored`, a failed run may
// leave an original entry unrestored when it still lies under its backup name
// with its original contents and mode (a note), but nothing may be lost.
// `updating_removal_failed`: the fault hit the removal of "updating" itself,
// which may then stay.
// A staged run (`staged`) succeeds with "applied\n" and a staged copy equal to
// `updated`; whatever its outcome, the installation itself stays `original`.
struct JudgeOptions {
  bool staged = false;
  bool allow_unrestored = false;
  bool updating_removal_failed = false;
};
Verdict Judge(const MixedUpdate& update, const RunOutcome& run, const Snapshot& original,
              const Snapshot& updated, const JudgeOptions& options);

}  // namespace fault_testing

#endif  // UPDATER_TESTS_FAULT_UPDATE_H_

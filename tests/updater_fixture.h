// Running the built updater, and the installation and archive of a realistic
// mixed update for it: the helpers of every test here that runs the updater.
#ifndef UPDATER_TESTS_UPDATER_FIXTURE_H_
#define UPDATER_TESTS_UPDATER_FIXTURE_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "testing/test_util.h"

namespace updater_fixture {

using Snapshot = std::map<std::string, std::string>;

struct RunOutcome {
  int exit_code = -1;  // 128 + the signal that ended the process
  std::string err;     // standard error
};

// Runs the built updater with `args` and the extra environment entries `env`
// ("NAME=value"), without a display (so no window shows) and without the
// caller's QUIL_ variables, through the program `prefix` (with its options)
// when one is given. Sanitizer reports end the process with code 86.
RunOutcome RunUpdater(const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {},
                      const std::vector<std::string>& prefix = {});

// Runs the updater as RunUpdater does into `run`, and `during` once `ready`
// holds while the run goes on (a run the interposer pauses, or one that
// waits). Whether `ready` held before the run ended.
bool RunDuring(const std::vector<std::string>& args, const std::vector<std::string>& env,
               const std::vector<std::string>& prefix, const std::function<bool()>& ready,
               const std::function<void()>& during, RunOutcome* run);

// An installation of files of several sizes and modes, a tree, symbolic links
// and a precomplete file, and a complete update over it that adds, patches,
// conditionally adds, removes, removes a tree, makes links (new, in place of a
// file and of a link) and empty directories. Neither directory need
// exist; the update directory may lie inside the installation as "updates/0".
class MixedUpdate {
 public:
  MixedUpdate(std::string install_dir, std::string update_dir);

  // Builds the installation afresh in place of whatever is there.
  bool MakeInstallation() const { return WriteTree(install_dir_, false); }
  // The installation as the update must leave it.
  Snapshot Expected() const;
  // Writes update.qex of the update.
  bool WriteArchive() const;
  // Writes update.qex with just `entries`.
  bool WriteEntries(const std::vector<archive_testing::TestEntry>& entries) const;
  // Flips a byte of the last entry's stream, just before the index: a run
  // fails when it extracts that entry, late in its execute phase.
  bool DamageLastEntry() const;
  // The application id the archives name from now on; "" for none.
  void set_app_id(const std::string& id) { app_id_ = id; }

  // The arguments of an ordinary update, or of a staged one into StagedDir().
  std::vector<std::string> Args(bool staged = false) const {
    if (staged) return {update_dir_, StagedDir(), "-1"};
    return {update_dir_, install_dir_};
  }
  // The arguments of the replace request of the staged copy.
  std::vector<std::string> ReplaceArgs() const { return {update_dir_, StagedDir(), "0/replace"}; }
  std::string StagedDir() const { return install_dir_ + "/updated"; }
  // The installation, or its staged copy, without "updated" and "updates".
  Snapshot Installation() const { return Target(false); }
  Snapshot Target(bool staged) const;
  std::string Status() const { return testing_util::ReadFile(update_dir_ + "/update.status"); }
  std::string Log() const { return testing_util::ReadFile(update_dir_ + "/update.log"); }
  // Whether a run had ended: its final status written, its work files, the
  // moved installation and the swapped-in copy gone.
  bool Finished(bool staged) const;
  const std::string& install_dir() const { return install_dir_; }
  const std::string& update_dir() const { return update_dir_; }

 private:
  bool WriteTree(const std::string& dir, bool updated) const;

  std::string install_dir_, update_dir_, big_old_, big_new_, data_old_, data_new_;
  std::string patch_bz2_, data_bz2_;  // archive entries, compressed
  std::string app_id_;
};

// What a run left behind, against the installation before it (`original`) and
// the target after a successful run (`updated`): exit code 0, "succeeded\n"
// and the target equal to `updated` but for backups and emptied directories
// whose removal failed; or exit code 1, "failed: N\n" (also ending the log)
// and the installation equal to `original`, with leftovers and original
// entries under their backup names when `allow_unrestored`. No "updating"
// directory or journal stays unless `updating_removal_failed`. A staged run succeeds with
// "applied\n" and a staged copy equal to `updated`, and never changes the
// installation.
struct JudgeOptions {
  bool staged = false, allow_unrestored = false, updating_removal_failed = false;
};
struct Verdict {
  bool succeeded = false;
  std::vector<std::string> problems;  // each breaks the rules; empty: fine
};
Verdict Judge(const MixedUpdate& update, const RunOutcome& run, const Snapshot& original,
              const Snapshot& updated, const JudgeOptions& options = {});

}  // namespace updater_fixture

#endif  // UPDATER_TESTS_UPDATER_FIXTURE_H_

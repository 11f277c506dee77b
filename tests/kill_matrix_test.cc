// Crash safety: the mixed update, in place, staged and as a replace request,
// killed with SIGKILL (by the preloaded interposer) before its N-th call that
// can change a file system, counted over all threads, for every N; each kill
// state is continued three ways (below).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::DiffSnapshots;
using testing_util::Exists;
using testing_util::RunCommand;
using updater_fixture::RunUpdater;

enum Mode { kInPlace, kStaged, kReplace };
const char* const kModeNames[] = {"in_place", "staged", "replace"};

class KillMatrixTest : public ::testing::TestWithParam<Mode> {
 protected:
  // The old installation, or for a replace request the staged copy beside it.
  // The copy gives read-only files owner write permission: they start with it.
  bool Prepare(Mode mode) {
    if (!update_.MakeInstallation() || !update_.WriteArchive() ||
        RunCommand("rm -rf '" + update_.install_dir() + ".bak'") != 0) {
      return false;
    }
    if (mode == kStaged && RunCommand("chmod -R u+w " + update_.install_dir())) return false;
    if (mode == kReplace) return RunUpdater(update_.Args(true)).exit_code == 0;  // "applied"
    // Only the run under test writes a status.
    unlink((update_.update_dir() + "/update.status").c_str());
    return true;
  }
  std::vector<std::string> Args(Mode mode) const {
    return mode == kReplace ? update_.ReplaceArgs() : update_.Args(mode == kStaged);
  }
  // The environment of a run that the interposer faults at its n-th call of
  // `kind` below `scope`, reporting that call in report_; `more` adds to it.
  std::vector<std::string> Fault(const std::string& kind, int n, const std::string& scope,
                                 std::vector<std::string> more = {}) const {
    more.insert(more.end(), {"LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_FAULT_KIND=" + kind,
                             "UPDATER_FAULT_AT=" + std::to_string(n),
                             "UPDATER_FAULT_SCOPE=" + scope, "UPDATER_FAULT_REPORT=" + report_});
    return more;
  }
  // The run killed before its n-th mutating call below `scope` (exit code
  // 128 + SIGKILL), or, past its last such call, an ordinary run.
  updater_fixture::RunOutcome Kill(Mode mode, int n, const std::string& scope) {
    unlink(report_.c_str());
    return RunUpdater(Args(mode), Fault("mutating", n, scope, {"UPDATER_FAULT_SIGNAL=9"}));
  }
  // Problems with the installation (or, for a staged run, its copy) after a
  // run that must have succeeded.
  std::string Succeeded(Mode mode, const updater_fixture::RunOutcome& run) const {
    auto v = Judge(update_, run, original_, update_.Expected(), {mode == kStaged});
    std::string problems = v.succeeded ? "" : "failed\n";
    for (const std::string& p : v.problems) problems += p + "\n";
    if (Exists(update_.install_dir() + ".bak")) problems += "left: .bak\n";
    return problems;
  }
  // Problems unless the installation is exactly the old or the new one.
  std::string Whole() const {
    auto now = update_.Installation();
    if (now == original_ || now == update_.Expected()) return "";
    return DiffSnapshots(original_, now) + (Exists(update_.install_dir() + ".bak") ? "bak\n" : "");
  }
  // Whether the killed run had reported success and cleaned up (it was
  // writing its last log lines): the update is done, and the same run again
  // would apply it again. Then the installation must be the new one.
  bool Done(Mode mode) const {
    if (!update_.Finished(mode == kStaged)) return false;
    EXPECT_TRUE(update_.Target(mode == kStaged) == update_.Expected());
    return true;
  }
  // Keeps the whole test tree (installation, staged copy, update directory) as
  // a kill left it (Copy(tree_, saved_)), or puts it back.
  static bool Copy(const std::string& from, const std::string& to) {
    return RunCommand("rm -rf " + to + " && cp -a " + from + " " + to) == 0;
  }

  testing_util::ScopedTempDir root_;
  const std::string tree_ = root_.Sub("t"), saved_ = root_.Sub("saved"),
                    report_ = root_.Sub("kills.txt");
  updater_fixture::MixedUpdate update_{root_.Sub("t/x/app"), root_.Sub("t/upd")};
  updater_fixture::Snapshot original_;
};

TEST_P(KillMatrixTest, EveryKillIsRecoveredThreeWays) {
  const Mode mode = GetParam();
  ASSERT_TRUE(Prepare(mode));
  original_ = update_.Installation();
  const std::string archive = update_.update_dir() + "/update.qex";
  int points = 0;
  for (int n = 1;; ++n) {
    ASSERT_LT(n, 3000) << "still killing";
    ASSERT_TRUE(Prepare(mode));
    auto killed = Kill(mode, n, tree_);
    if (killed.exit_code != 128 + SIGKILL) {
      // Past the last mutating call: an ordinary run.
      EXPECT_EQ(Succeeded(mode, killed), "") << update_.Log();
      break;
    }
    ++points;
    const std::string where = std::to_string(n) + ": " + testing_util::ReadFile(report_);
    if (Done(mode)) continue;
    ASSERT_TRUE(Copy(tree_, saved_));

    // 1. The same run again; in place, the check first predicts it.
    auto check = RunUpdater({"--check", update_.update_dir(), update_.install_dir()});
    auto again = RunUpdater(Args(mode));
    if (mode == kInPlace) {
      EXPECT_EQ(check.exit_code, again.exit_code) << where << check.err;
    }
    EXPECT_EQ(Succeeded(mode, again), "") << where << update_.Log();

    // 2. A damaged archive (the replace request reads none: an ordinary run
    // with one after it). A staged copy meets the replace request instead,
    // which only a complete copy passes.
    ASSERT_TRUE(Copy(saved_, tree_));
    if (mode == kStaged) {
      RunUpdater(Args(kReplace));
    } else {
      std::string bytes = testing_util::ReadFile(archive);
      bytes[bytes.size() - 3] ^= 0x55;
      testing_util::WriteFile(archive, bytes);
      EXPECT_EQ(RunUpdater(update_.Args()).exit_code, 1) << where;
      EXPECT_EQ(update_.Status().rfind("failed: ", 0), 0u) << where << update_.Status();
      ASSERT_TRUE(update_.WriteArchive());
    }
    EXPECT_EQ(Whole(), "") << where << update_.Log();
    if (mode == kInPlace) {
      // The good run ends new, with the status of what it did.
      auto v = Judge(update_, RunUpdater(Args(mode)), update_.Expected(), update_.Expected());
      EXPECT_EQ(::testing::PrintToString(v.problems), "{}") << where << update_.Log();
    }

    // 3. Killed again inside the recovery (its first calls in the
    // installation), then the same run again.
    ASSERT_TRUE(Copy(saved_, tree_));
    Kill(mode, 1 + n % 4, update_.install_dir());
    if (!Done(mode)) {
      EXPECT_EQ(Succeeded(mode, RunUpdater(Args(mode))), "") << where << update_.Log();
    }
  }
  printf("[ kills ] %-10s %4d points\n", kModeNames[mode], points);
}

// Journals planted by the installation's owner (nobody) for root's next run:
// recovery refuses them, or cannot carry them outside, and nothing outside the
// installation changes.
TEST_F(KillMatrixTest, PlantedJournalsChangeNothingOutside) {
  const std::string protected_dir = root_.Sub("t/x/protected");
  auto record = [](char type, std::vector<std::string> fields) {
    std::string out(1, type);
    for (const std::string& f : fields) out += f + '\0';
    return out + "\n";
  };
  const std::string begin = record('S', {"0"});
  const struct {
    std::string records, log = "refusing the journal: ";
  } cases[] = {
      {record('B', {"../protected/config", "evil", "1 2"})},
      {record('B', {"../x", "../x.quil-backup", "1 2"})},
      {record('B', {protected_dir + "/config", protected_dir + "/config.quil-backup", "1 2"})},
      {record('B', {"bin/app", "evil", "1 2"})},
      {record('B', {"l/tree", "l/tree.quil-backup", "1 2"}) + record('K', {}),
       "failed to delete the backup l/tree.quil-backup"},
      {record('B', {"l/config", "evil", "1 2"})},
      {record('B', {"l/config", "l/config.quil-backup", "1 2"}),
       "failed to put back l/config.quil-backup"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.records));
    ASSERT_TRUE(Prepare(kInPlace));
    testing_util::WriteFile(protected_dir + "/config", "root's\n", 0600);
    testing_util::WriteFile(protected_dir + "/config.quil-backup", "root's backup\n", 0600);
    testing_util::WriteFile(protected_dir + "/tree.quil-backup/f", "root's tree\n", 0600);
    testing_util::WriteFile(update_.install_dir() + "/evil", "the user's\n");
    testing_util::WriteFile(update_.install_dir() + "/updating.journal", begin + c.records, 0600);
    ASSERT_EQ(symlink("../protected", (update_.install_dir() + "/l").c_str()), 0);
    ASSERT_EQ(RunCommand("chown -hR 65534:65534 " + update_.install_dir()), 0);
    const auto outside = testing_util::SnapshotTree(protected_dir);
    const auto inside = update_.Installation();
    auto run = RunUpdater(update_.Args());
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(update_.Status(), "failed: 52\n");
    EXPECT_NE(update_.Log().find(c.log), std::string::npos) << update_.Log();
    EXPECT_EQ(DiffSnapshots(outside, testing_util::SnapshotTree(protected_dir)), "");
    EXPECT_EQ(DiffSnapshots(inside, update_.Installation()), "");
    ASSERT_EQ(RunCommand("rm -rf " + protected_dir), 0);
  }
}

// A failing update whose rollback meets a failing rename, at each of them:
// the status names the failure, the log never says the run was rolled back,
// the journal stays, and the next run undoes the rest and applies the update.
TEST_F(KillMatrixTest, RollbackMeetingAFailingRenameIsFinishedByTheNextRun) {
  int positions = 0;
  for (int n = 1;; ++n) {
    ASSERT_LT(n, 100);
    ASSERT_TRUE(Prepare(kInPlace));
    original_ = update_.Installation();
    ASSERT_TRUE(update_.DamageLastEntry());
    // Count the renames of a failing run first, then fail each of the rollback's.
    unlink(report_.c_str());
    auto run = RunUpdater(update_.Args(), Fault("rename", n, update_.install_dir()));
    if (testing_util::ReadFile(report_).empty()) break;
    const std::string where = std::to_string(n) + ": " + testing_util::ReadFile(report_);
    EXPECT_EQ(run.exit_code, 1) << where;
    EXPECT_EQ(update_.Status().rfind("failed: ", 0), 0u) << where;
    const bool incomplete = update_.Log().find("the rollback is incomplete") != std::string::npos;
    positions += incomplete;
    EXPECT_EQ(incomplete, Exists(update_.install_dir() + "/updating.journal")) << where;
    if (!incomplete) {
      EXPECT_EQ(Whole(), "") << where << update_.Log();
    }
    ASSERT_TRUE(update_.WriteArchive());
    EXPECT_EQ(Succeeded(kInPlace, RunUpdater(update_.Args())), "") << where << update_.Log();
  }
  EXPECT_GT(positions, 0);
  printf("[ rollback ] %d renames of the rollback failed and were finished\n", positions);
}

// SIGTERM, SIGINT and SIGHUP in the middle of the execute phase: the ordinary
// rollback, "failed: 50" and the old installation.
TEST_F(KillMatrixTest, StopSignalsRollBack) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ASSERT_TRUE(Prepare(kInPlace));
    original_ = update_.Installation();
    auto run = RunUpdater(update_.Args(), Fault("rename", 3, update_.install_dir(),
                                                {"UPDATER_FAULT_SIGNAL=" + std::to_string(sig)}));
    auto v = Judge(update_, run, original_, update_.Expected());
    EXPECT_EQ(::testing::PrintToString(v.problems) + update_.Status(), "{}failed: 50\n") << sig;
  }
}

// The X server goes away during the run, while the updater is held stopped
// (at every rename from the third on) long enough for its window to be due:
// the window goes, the update goes on. The strings file beside the program
// makes it try.
TEST_F(KillMatrixTest, LostDisplayLetsTheUpdateFinish) {
  if (testing_util::RunCommand("command -v Xvfb >/dev/null") != 0)
    GTEST_SKIP() << "no Xvfb (Debian package xvfb)";
  ASSERT_TRUE(Prepare(kInPlace));
  original_ = update_.Installation();
  const std::string display = root_.Sub("display"), program = root_.Sub("bin/updater");
  testing_util::WriteFile(program + ".ini", "[Strings]\nTitle=Updating\nInfo=Please wait\n");
  ASSERT_EQ(symlink(UPDATER_BINARY, program.c_str()), 0);
  const char script[] = R"(Xvfb -displayfd 3 -nolisten tcp 3>"$D" 2>/dev/null & x=$!
i=0; while [ ! -s "$D" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
stopped() { grep -q '^State:.*T' /proc/$u/status 2>/dev/null; }
DISPLAY=:$(cat "$D") "$P" "$@" & u=$!
while kill -0 $u 2>/dev/null && ! stopped; do sleep 0.05; done
kill -9 $x; wait $x 2>/dev/null; sleep 0.7
while kill -0 $u 2>/dev/null; do stopped && kill -CONT $u; sleep 0.01; done
wait $u
)";
  // The X libraries' memory is abandoned with the display.
  auto run = RunUpdater(update_.Args(),
                        Fault("rename", 3, update_.install_dir(),
                              {"ASAN_OPTIONS=exitcode=86:detect_leaks=0:verify_asan_link_order=0",
                               "D=" + display, "P=" + program, "UPDATER_FAULT_STICKY=1",
                               "UPDATER_FAULT_SIGNAL=" + std::to_string(SIGSTOP)}),
                        {"/bin/sh", "-c", script});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(Succeeded(kInPlace, run), "") << update_.Log();
}

INSTANTIATE_TEST_SUITE_P(Modes, KillMatrixTest, ::testing::Values(kInPlace, kStaged, kReplace),
                         [](const ::testing::TestParamInfo<Mode>& info) {
                           return std::string(kModeNames[info.param]);
                         });

}  // namespace

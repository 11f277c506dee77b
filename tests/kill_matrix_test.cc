// Crash safety: the mixed update, in place, staged and as a replace request,
// killed with SIGKILL (by the preloaded interposer) at the N-th call of one
// mutating kind inside the installation, for every N, and at calls picked at
// random among all kinds. After each kill, either the same run again must end
// with exactly the new installation and its success status (odd N), or a run
// that has no archive (for a staged copy: the replace request) must find the
// installation whole, old or new (even N).
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
using updater_fixture::RunUpdater;

enum Mode { kInPlace, kStaged, kReplace };
const char* const kModeNames[] = {"in_place", "staged", "replace"};

struct Case {
  Mode mode;
  const char* kind;  // "any": every kind together, N advancing by random steps
};

std::string Name(const Case& c) { return std::string(kModeNames[c.mode]) + "_" + c.kind; }
void PrintTo(const Case& c, std::ostream* os) { *os << Name(c); }

class KillMatrixTest : public ::testing::TestWithParam<Case> {
 protected:
  // The old installation, or for a replace request the staged copy beside it.
  // The copy gives read-only files owner write permission: they start with it.
  bool Prepare(Mode mode) {
    if (!update_.MakeInstallation() || !update_.WriteArchive() ||
        testing_util::RunCommand("rm -rf '" + update_.install_dir() + ".bak'") != 0) {
      return false;
    }
    if (mode == kStaged && testing_util::RunCommand("chmod -R u+w " + update_.install_dir()))
      return false;
    return mode != kReplace || RunUpdater(update_.Args(true)).exit_code == 0;
  }
  std::vector<std::string> Args(Mode mode) const {
    if (mode == kReplace) return {update_.update_dir(), update_.StagedDir(), "0/replace"};
    return update_.Args(mode == kStaged);
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

  testing_util::ScopedTempDir root_;
  updater_fixture::MixedUpdate update_{root_.Sub("x/app"), root_.Sub("upd")};
  updater_fixture::Snapshot original_;
};

TEST_P(KillMatrixTest, EveryKillIsRecovered) {
  const Case& c = GetParam();
  ASSERT_TRUE(Prepare(c.mode));
  original_ = update_.Installation();
  const std::string report = root_.Sub("kills.txt");
  srand(7);
  int kills = 0;
  for (int n = 1;; n += std::string(c.kind) == "any" ? 1 + rand() % 9 : 1) {
    ASSERT_LT(n, 2000) << "still killing";
    ASSERT_TRUE(Prepare(c.mode));
    unlink(report.c_str());
    auto run = RunUpdater(
        Args(c.mode),
        {"LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_FAULT_SIGNAL=9",
         "UPDATER_FAULT_SCOPE=" + root_.Sub("x"), "UPDATER_FAULT_REPORT=" + report,
         std::string("UPDATER_FAULT_KIND=") + c.kind, "UPDATER_FAULT_AT=" + std::to_string(n)});
    const std::string where = std::to_string(n) + ": " + testing_util::ReadFile(report);
    if (run.exit_code != 128 + SIGKILL) {
      // Past the last call of this kind: an ordinary run.
      EXPECT_EQ(Succeeded(c.mode, run), "") << where << update_.Log();
      break;
    }
    ++kills;
    if (n % 2 == 1) {
      EXPECT_EQ(Succeeded(c.mode, RunUpdater(Args(c.mode))), "") << where << update_.Log();
      continue;
    }
    if (c.mode == kStaged) {
      // Only a complete staged copy is ever swapped in.
      RunUpdater(Args(kReplace));
    } else {
      unlink((update_.update_dir() + "/update.qex").c_str());
      EXPECT_EQ(RunUpdater(update_.Args()).exit_code, 1) << where;
    }
    EXPECT_EQ(Whole(), "") << where << update_.Log();
  }
  printf("[ kills ] %-16s %4d\n", Name(c).c_str(), kills);
}

// SIGTERM, SIGINT and SIGHUP in the middle of the execute phase: the ordinary
// rollback, "failed: 50" and the old installation.
TEST_F(KillMatrixTest, StopSignalsRollBack) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ASSERT_TRUE(Prepare(kInPlace));
    original_ = update_.Installation();
    auto run = RunUpdater(update_.Args(),
                          {"LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_FAULT_KIND=rename",
                           "UPDATER_FAULT_AT=3", "UPDATER_FAULT_SIGNAL=" + std::to_string(sig),
                           "UPDATER_FAULT_SCOPE=" + update_.install_dir()});
    auto v = Judge(update_, run, original_, update_.Expected());
    EXPECT_EQ(::testing::PrintToString(v.problems) + update_.Status(), "{}failed: 50\n") << sig;
  }
}

// The X server goes away during the run, while the updater is held stopped
// (at every rename from the third on) long enough for its window to be due:
// the window goes, the update goes on. The strings file beside the program
// makes it try.
TEST_F(KillMatrixTest, LostDisplayLetsTheUpdateFinish) {
  if (testing_util::RunCommand("command -v Xvfb >/dev/null") != 0) {
    GTEST_SKIP() << "no Xvfb (Debian package xvfb)";
  }
  ASSERT_TRUE(Prepare(kInPlace));
  original_ = update_.Installation();
  const std::string display = root_.Sub("display"), program = root_.Sub("bin/updater");
  testing_util::WriteFile(program + ".ini", "[Strings]\nTitle=Updating\nInfo=Please wait\n");
  ASSERT_EQ(symlink(UPDATER_BINARY, program.c_str()), 0);
  const std::string stopped = "grep -q '^State:.*T' /proc/$u/status";
  const std::string script = "Xvfb -displayfd 3 -nolisten tcp 3>'" + display +
                             "' 2>/dev/null & x=$!\n"
                             "i=0; while [ ! -s '" +
                             display +
                             "' ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
                             "DISPLAY=:$(cat '" +
                             display + "') '" + program +
                             "' \"$@\" & u=$!\n"
                             "while kill -0 $u 2>/dev/null && ! " +
                             stopped +
                             "; do sleep 0.05; done\n"
                             "kill -9 $x; wait $x; sleep 0.7\n"
                             "while kill -0 $u 2>/dev/null; do " +
                             stopped +
                             " && kill -CONT $u; sleep 0.01; done\n"
                             "wait $u\n";
  auto run =
      RunUpdater(update_.Args(),
                 // The X libraries' memory is abandoned with the display.
                 {"ASAN_OPTIONS=exitcode=86:detect_leaks=0:verify_asan_link_order=0",
                  "LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_FAULT_KIND=rename", "UPDATER_FAULT_AT=3",
                  "UPDATER_FAULT_STICKY=1", "UPDATER_FAULT_SIGNAL=" + std::to_string(SIGSTOP),
                  "UPDATER_FAULT_SCOPE=" + update_.install_dir()},
                 {"/bin/sh", "-c", script});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(Succeeded(kInPlace, run), "") << update_.Log();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, KillMatrixTest,
    ::testing::Values(Case{kInPlace, "rename"}, Case{kInPlace, "remove"}, Case{kInPlace, "write"},
                      Case{kInPlace, "open"}, Case{kInPlace, "mkdir"}, Case{kInPlace, "fsync"},
                      Case{kInPlace, "any"}, Case{kStaged, "rename"}, Case{kStaged, "remove"},
                      Case{kStaged, "mkdir"}, Case{kStaged, "write"}, Case{kStaged, "fsync"},
                      Case{kStaged, "any"}, Case{kReplace, "open"}, Case{kReplace, "rename"},
                      Case{kReplace, "remove"}, Case{kReplace, "fsync"}, Case{kReplace, "any"}),
    [](const ::testing::TestParamInfo<Case>& info) { return Name(info.param); });

}  // namespace

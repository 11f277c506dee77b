// Memory check of the whole program: the built updater runs under valgrind
// memcheck for a successful update, a failed one that rolls back, a staged
// update and the replace request that follows it. Any invalid access, use of
// uninitialised memory or leaked block fails the test. (The sanitizer build
// skips it: its updater already checks for leaks at exit.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tests/fault_update.h"

namespace {

using fault_testing::MixedUpdate;
using fault_testing::RunOutcome;

constexpr char kValgrind[] = "/usr/bin/valgrind";
constexpr int kValgrindErrorExit = 86;

// The rest of the line after the first `label` in a memcheck report, "0" when
// the report has no such line (no leak summary is printed without blocks).
std::string Field(const std::string& report, const std::string& label) {
  size_t at = report.find(label);
  if (at == std::string::npos) return "0";
  at += label.size();
  return report.substr(at, report.find('\n', at) - at);
}

class LeakCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (UPDATER_SANITIZED) GTEST_SKIP() << "valgrind cannot run a sanitizer build";
    if (access(kValgrind, X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
    ASSERT_TRUE(update_.WriteArchive());
    ASSERT_TRUE(update_.MakeInstallation());
  }

  // Runs the updater under memcheck; checks its exit code and the report.
  void RunChecked(const std::string& what, const std::vector<std::string>& args, int want_exit) {
    const std::string log = root_.Sub("memcheck-" + std::to_string(++runs_) + ".txt");
    std::vector<std::string> vg = {"--error-exitcode=" + std::to_string(kValgrindErrorExit),
                                   "--leak-check=full",
                                   "--show-leak-kinds=definite,indirect,possible",
                                   "--errors-for-leak-kinds=definite,indirect,possible",
                                   "--track-origins=yes",
                                   "--log-file=" + log,
                                   UPDATER_BINARY};
    vg.insert(vg.end(), args.begin(), args.end());
    RunOutcome r = fault_testing::RunUpdater(kValgrind, vg);
    const std::string report = testing_util::ReadFile(log);
    EXPECT_EQ(r.exit_code, want_exit) << what << "\n" << report << update_.Log();
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << what << "\n" << report;
    const std::string in_use = Field(report, "in use at exit: ");
    const std::string lost = Field(report, "definitely lost: ");
    printf("[ memcheck ] %-34s exit %d, %s, definitely lost %s; in use at exit %s\n", what.c_str(),
           r.exit_code,
           report.find("ERROR SUMMARY: 0 errors") != std::string::npos ? "0 errors" : "ERRORS",
           lost.c_str(), in_use.c_str());
  }

  testing_util::ScopedTempDir root_;
  MixedUpdate update_{root_.Sub("app"), root_.Sub("upd")};
  int runs_ = 0;
};

TEST_F(LeakCheckTest, UpdateRollbackStagedAndReplaceRunClean) {
  // A patch source that no longer matches: the run fails with 4 after earlier
  // actions executed, so the rollback runs.
  const std::string big = update_.install_dir() + "/lib/libbig.so";
  std::string changed = testing_util::ReadFile(big);
  changed[0] ^= 1;
  testing_util::WriteFile(big, changed, 0644);
  RunChecked("failed update with rollback", update_.Args(), 1);
  EXPECT_EQ(update_.Status(), "failed: 4\n");

  ASSERT_TRUE(update_.MakeInstallation());
  RunChecked("mixed update", update_.Args(), 0);
  EXPECT_EQ(update_.Status(), "succeeded\n");

  ASSERT_TRUE(update_.MakeInstallation());
  const std::string staged = update_.install_dir() + "/updated";
  RunChecked("staged update", {update_.update_dir(), staged, "-1"}, 0);
  EXPECT_EQ(update_.Status(), "applied\n");
  RunChecked("replace request", {update_.update_dir(), staged, "0/replace"}, 0);
  EXPECT_EQ(update_.Status(), "succeeded\n");

  // An archive that does not open: the earliest way out of the run.
  unlink((update_.update_dir() + "/update.qex").c_str());
  RunChecked("missing archive", update_.Args(), 1);
  EXPECT_EQ(update_.Status(), "failed: 6\n");
}

}  // namespace

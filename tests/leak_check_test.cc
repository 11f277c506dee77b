// The built updater under valgrind memcheck, in every mode: any invalid
// access, use of uninitialised memory or leaked block fails the test. (The
// sanitizer build skips it: its updater already checks for leaks at exit.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

constexpr char kValgrind[] = "/usr/bin/valgrind";

TEST(LeakCheckTest, UpdateRollbackStagedAndReplaceRunClean) {
  if (UPDATER_SANITIZED) GTEST_SKIP() << "valgrind cannot run a sanitizer build";
  if (access(kValgrind, X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  testing_util::ScopedTempDir root;
  updater_fixture::MixedUpdate update(root.Sub("app"), root.Sub("upd"));
  ASSERT_TRUE(update.WriteArchive());
  ASSERT_TRUE(update.MakeInstallation());
  // A patch source that no longer matches: the run fails with 4 after earlier
  // actions executed, so the rollback runs.
  testing_util::WriteFile(update.install_dir() + "/lib/libbig.so",
                          testing_util::RandomBytes(300000, 9));
  const struct {
    std::vector<std::string> args;
    bool fresh;  // on a new installation
    std::string status;
  } runs[] = {
      {update.Args(), false, "failed: 4\n"},  {update.Args(), true, "succeeded\n"},
      {update.Args(true), true, "applied\n"}, {update.ReplaceArgs(), false, "succeeded\n"},
      {update.Args(), false, "failed: 6\n"},  // the archive is gone: the earliest way out
  };
  int n = 0;
  for (const auto& run : runs) {
    SCOPED_TRACE(run.status);
    ASSERT_TRUE(!run.fresh || update.MakeInstallation());
    if (run.status == "failed: 6\n") unlink((update.update_dir() + "/update.qex").c_str());
    const std::string log = root.Sub("memcheck-" + std::to_string(++n) + ".txt");
    auto r = updater_fixture::RunUpdater(
        run.args, {},
        {kValgrind, "--error-exitcode=86", "--leak-check=full", "--track-origins=yes",
         "--show-leak-kinds=definite,indirect,possible",
         "--errors-for-leak-kinds=definite,indirect,possible", "--log-file=" + log});
    const std::string report = testing_util::ReadFile(log);
    EXPECT_EQ(r.exit_code, run.status[0] == 'f' ? 1 : 0) << report;
    EXPECT_EQ(update.Status(), run.status);
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
  }
}

}  // namespace

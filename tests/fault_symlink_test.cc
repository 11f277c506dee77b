// Manifest paths that leave the installation, by ".." or an absolute path or
// through a symbolic link inside it, are refused before anything changes; a
// link to another part of the installation is followed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "patch/patch_test_util.h"
#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

class SymlinkPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_util::WriteFile(inst_ + "/real/f", "inside");
    testing_util::WriteFile(root_.Sub("outside/f"), "outside");
    ASSERT_EQ(mkdir(root_.Sub("outside/empty").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", (inst_ + "/inlink").c_str()), 0);
    ASSERT_EQ(symlink(root_.Sub("outside").c_str(), (inst_ + "/outlink").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (inst_ + "/real/up").c_str()), 0);
  }
  // Runs `manifest` with an archive that has an entry for every path named.
  int Run(const std::string& manifest) {
    EXPECT_TRUE(
        update_.WriteEntries({{"updatev3.manifest", manifest},
                              {"real/g", "g"},
                              {"outlink/f", "evil"},
                              {"outlink/new/g", "evil"},
                              {"real/up/f", "evil"},
                              {"x", "x"},
                              {"p", patch_testing::MakePatchFor("outside", "evil").Serialize()},
                              {"inlink/f", "new"},
                              {"inlink/sub/g", "g"}}));
    return updater_fixture::RunUpdater(update_.Args()).exit_code;
  }
  testing_util::ScopedTempDir root_, update_dir_;  // the update lies elsewhere
  const std::string inst_ = root_.Sub("app");
  updater_fixture::MixedUpdate update_{inst_, update_dir_.path()};
};

TEST_F(SymlinkPathTest, PathsLeavingTheInstallationAreRefusedOthersFollowed) {
  const auto before = testing_util::SnapshotTree(root_.path());
  for (const char* line :
       {"add \"outlink/f\"", "add \"outlink/new/g\"", "add \"real/up/f\"", "remove \"outlink/f\"",
        "rmdir \"outlink/empty/\"", "patch \"p\" \"outlink/f\"", "add-if \"outlink/f\" \"x\"",
        "add \"../outside/f\"", "remove \"/etc/hostname\"", "rmdir \"../app/\"",
        "add \"real/../../outside/f\""}) {
    SCOPED_TRACE(line);
    // An add of an ordinary file first, so that a refusal must also undo nothing.
    EXPECT_EQ(Run(std::string("add \"real/g\"\n") + line + "\n"), 1);
    EXPECT_EQ(update_.Status(), "failed: 5\n");
    EXPECT_EQ(testing_util::DiffSnapshots(before, testing_util::SnapshotTree(root_.path())), "");
  }
  // A link to another part of the installation is followed, and stays.
  testing_util::WriteFile(inst_ + "/real/gone", "x");
  EXPECT_EQ(Run("add \"inlink/f\"\nadd \"inlink/sub/g\"\nremove \"inlink/gone\"\n"), 0)
      << update_.Log();
  auto after = testing_util::SnapshotTree(inst_);
  EXPECT_EQ(after["inlink"] + "|" + after["real/f"] + "|" + after["real/sub/g"] + "|" +
                after["real/gone"],
            "link real|file 0644 new|file 0644 g|");
}

}  // namespace

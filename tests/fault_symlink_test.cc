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

using testing_util::ReadFile;

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
  int Run(const std::string& manifest, std::vector<archive_testing::TestEntry> entries) {
    entries.push_back({"updatev3.manifest", manifest});
    EXPECT_TRUE(update_.WriteEntries(entries));
    return updater_fixture::RunUpdater({root_.Sub("upd"), inst_}).exit_code;
  }
  // Everything but the update directory.
  updater_fixture::Snapshot Outside() {
    auto tree = testing_util::SnapshotTree(root_.path());
    for (const char* own : {"upd", "upd/update.qex", "upd/update.log", "upd/update.status"}) {
      tree.erase(own);
    }
    return tree;
  }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("app");
  updater_fixture::MixedUpdate update_{inst_, root_.Sub("upd")};
};

TEST_F(SymlinkPathTest, PathsLeavingTheInstallationAreRefusedBeforeAnyChange) {
  const auto before = Outside();
  for (const char* line :
       {"add \"outlink/f\"", "add \"outlink/new/g\"", "add \"real/up/f\"", "remove \"outlink/f\"",
        "rmdir \"outlink/empty/\"", "patch \"p\" \"outlink/f\"", "add-if \"outlink/f\" \"x\"",
        "add \"../outside/f\"", "remove \"/etc/hostname\"", "rmdir \"../app/\"",
        "add \"real/../../outside/f\""}) {
    SCOPED_TRACE(line);
    // An add of an ordinary file first, so that a refusal must also undo nothing.
    EXPECT_EQ(Run(std::string("add \"real/g\"\n") + line + "\n",
                  {{"real/g", "g"},
                   {"outlink/f", "evil"},
                   {"outlink/new/g", "evil"},
                   {"real/up/f", "evil"},
                   {"x", "x"},
                   {"p", patch_testing::MakePatchFor("outside", "evil").Serialize()}}),
              1);
    EXPECT_EQ(update_.Status(), "failed: 5\n");
    EXPECT_EQ(testing_util::DiffSnapshots(before, Outside()), "");
  }
}

TEST_F(SymlinkPathTest, LinksWithinTheInstallationAreFollowed) {
  testing_util::WriteFile(inst_ + "/real/gone", "x");
  EXPECT_EQ(Run("add \"inlink/f\"\nadd \"inlink/sub/g\"\nremove \"inlink/gone\"\n",
                {{"inlink/f", "new"}, {"inlink/sub/g", "g"}}),
            0)
      << update_.Log();
  EXPECT_EQ(update_.Status(), "succeeded\n");
  EXPECT_EQ(ReadFile(inst_ + "/real/f") + ReadFile(inst_ + "/real/sub/g"), "newg");
  EXPECT_FALSE(testing_util::Exists(inst_ + "/real/gone"));
  EXPECT_EQ(testing_util::SnapshotTree(inst_)["inlink"], "link real");
}

}  // namespace

// Manifest paths that pass through symbolic links inside the installation:
// a link to another part of the installation is followed, one that leads
// outside it is refused before anything changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "patch/patch_test_util.h"
#include "testing/test_util.h"
#include "tests/fault_update.h"

namespace {

using testing_util::ReadFile;
using testing_util::SnapshotTree;
using testing_util::WriteFile;

class SymlinkPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_ = root_.Sub("app");
    upd_ = root_.Sub("upd");
    mkdir(upd_.c_str(), 0755);
    WriteFile(inst_ + "/real/f", "inside", 0644);
    WriteFile(root_.Sub("outside/f"), "outside", 0644);
    mkdir(root_.Sub("outside/empty").c_str(), 0755);
    ASSERT_EQ(symlink("real", (inst_ + "/inlink").c_str()), 0);
    ASSERT_EQ(symlink(root_.Sub("outside").c_str(), (inst_ + "/outlink").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (inst_ + "/real/up").c_str()), 0);
  }

  fault_testing::RunOutcome Run(const std::string& manifest,
                                std::vector<archive_testing::TestEntry> entries = {}) {
    entries.push_back({"updatev3.manifest", manifest});
    EXPECT_TRUE(archive_testing::WriteTestArchive(upd_ + "/update.qex", entries));
    return fault_testing::RunUpdater(UPDATER_BINARY, {upd_, inst_});
  }
  std::string Status() const { return ReadFile(upd_ + "/update.status"); }
  std::string Log() const { return ReadFile(upd_ + "/update.log"); }

  testing_util::ScopedTempDir root_;
  std::string inst_;
  std::string upd_;
};

TEST_F(SymlinkPathTest, LinksLeadingOutsideAreRefusedBeforeAnyChange) {
  const std::string patch = patch_testing::MakePatchFor("outside", "changed").Serialize();
  const std::vector<std::string> lines = {
      "add \"outlink/f\"",          "add \"outlink/new/g\"",    "add \"real/up/f\"",
      "remove \"outlink/f\"",       "rmdir \"outlink/empty/\"", "patch \"p\" \"outlink/f\"",
      "add-if \"outlink/f\" \"x\"",
  };
  const auto before = SnapshotTree(root_.path());
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    // An add of an ordinary file first, so that a refusal must also undo nothing.
    fault_testing::RunOutcome r = Run("add \"real/g\"\n" + line + "\n", {{"real/g", "g"},
                                                                         {"outlink/f", "evil"},
                                                                         {"outlink/new/g", "evil"},
                                                                         {"real/up/f", "evil"},
                                                                         {"x", "x"},
                                                                         {"p", patch}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Status(), "failed: 5\n");
    EXPECT_NE(Log().find("get_valid_path: path leads outside the installation through a "
                         "symbolic link: "),
              std::string::npos)
        << Log();
    auto after = SnapshotTree(root_.path());
    for (const char* own : {"upd/update.qex", "upd/update.log", "upd/update.status"}) {
      after.erase(own);
    }
    EXPECT_EQ(testing_util::DiffSnapshots(before, after), "");
  }
  EXPECT_EQ(ReadFile(root_.Sub("outside/f")), "outside");
}

TEST_F(SymlinkPathTest, LinksWithinTheInstallationAreFollowed) {
  WriteFile(inst_ + "/real/gone", "x");
  fault_testing::RunOutcome r =
      Run("add \"inlink/f\"\nadd \"inlink/sub/g\"\nremove \"inlink/gone\"\n",
          {{"inlink/f", "new"}, {"inlink/sub/g", "g"}});
  EXPECT_EQ(r.exit_code, 0) << Log();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(ReadFile(inst_ + "/real/f"), "new");
  EXPECT_EQ(ReadFile(inst_ + "/real/sub/g"), "g");
  EXPECT_FALSE(testing_util::Exists(inst_ + "/real/gone"));
  struct stat st;
  ASSERT_EQ(lstat((inst_ + "/inlink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

}  // namespace

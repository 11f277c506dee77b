// A hostile installation: directories swapped for links while an update runs,
// two actions on one path, an installation of another user, a read-only one,
// a patch that lies about its size, a decompressor without memory.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "patch/patch_test_util.h"
#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::ReadFile;
using testing_util::SnapshotTree;
using testing_util::WriteFile;
using updater_fixture::RunOutcome;
using updater_fixture::RunUpdater;

class HostilePathsTest : public ::testing::Test {
 protected:
  std::string I(const std::string& rel) const { return inst_ + "/" + rel; }
  // Runs the update; `change` runs while the updater waits, after every path
  // check of the manifest and before the first action, at the condition test
  // of the file "trigger".
  RunOutcome RunChanging(const std::function<void()>& change) {
    const std::string marker = root_.Sub("paused");
    RunOutcome run;
    EXPECT_TRUE(updater_fixture::RunDuring(
        update_.Args(),
        {"LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_PAUSE_CALL=access",
         "UPDATER_PAUSE_MATCH=/app/trigger", "UPDATER_PAUSE_FILE=" + marker},
        {}, [&] { return testing_util::Exists(marker); },
        [&] {
          change();
          unlink(marker.c_str());
        },
        &run))
        << "the updater never paused";
    return run;
  }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("app");
  updater_fixture::MixedUpdate update_{inst_, root_.Sub("upd")};
};

// A directory of the installation swapped for a link after the manifest's
// paths were checked: the actions must not follow it out, whether it leads
// somewhere else entirely or to a sibling whose name merely extends the
// installation's; a link to another part of the installation is followed.
TEST_F(HostilePathsTest, PathsResolveBeneathTheInstallationWhenUsed) {
  // The case's own lines come first after the pause.
  const std::string pause = "add-if \"trigger\" \"x\"\n",
                    manifest =
                        "add \"data/new\"\npatch \"p.patch\" \"data/p\"\nadd \"data/q/deep\"\n";
  std::vector<archive_testing::TestEntry> entries = {
      {"updatev3.manifest", ""},
      {"x", "x"},
      {"data/new", "new"},
      {"data/q/deep", "deep"},
      {"p.patch", patch_testing::MakePatchFor("abc", "abcd").Serialize()}};
  // The three outside directories start alike; only a target would differ.
  auto outside = [this] {
    return SnapshotTree(root_.Sub("outside")) == SnapshotTree(inst_ + "2") &&
           SnapshotTree(inst_ + "2") == SnapshotTree(inst_ + ".bak");
  };
  const struct {
    std::string target, manifest_end, status;
  } cases[] = {
      {root_.Sub("outside"), "", "failed: 7\n"},
      {"../app2", "", "failed: 7\n"},
      {root_.Sub("app.bak"), "", "failed: 7\n"},
      {root_.Sub("app.bak"), "remove \"data/p\"\n", "failed: 6\n"},
      {"../app.bak", "rmdir \"data/sub/\"\n", "failed: 6\n"},
      {root_.Sub("outside"), "addlink \"data/l\" \"x\"\n", "failed: 7\n"},
      {"../app2", "adddir \"data/d/\" \"0700\"\n", "failed: 7\n"},
      {"inside", "", "succeeded\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target + " " + c.manifest_end);
    ASSERT_EQ(testing_util::RunCommand("rm -rf '" + inst_ + "'* '" + root_.Sub("outside") + "'"),
              0);
    for (const std::string& dir :
         {I("data"), I("inside"), root_.Sub("outside"), inst_ + "2", inst_ + ".bak"}) {
      WriteFile(dir + "/p", "abc");
      ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    }
    WriteFile(I("trigger"), "");
    entries[0].contents = pause + c.manifest_end + manifest;
    ASSERT_TRUE(update_.WriteEntries(entries));
    const auto before = SnapshotTree(inst_);
    auto run = RunChanging([&] {
      ASSERT_EQ(rename(I("data").c_str(), I("data.moved").c_str()), 0);
      ASSERT_EQ(symlink(c.target.c_str(), I("data").c_str()), 0);
    });
    EXPECT_EQ(update_.Status(), c.status) << update_.Log();
    EXPECT_EQ(run.exit_code, c.status == "succeeded\n" ? 0 : 1);
    EXPECT_TRUE(outside()) << "a directory outside changed";
    if (c.status == "succeeded\n") {
      EXPECT_EQ(ReadFile(I("inside/new")) + ReadFile(I("inside/p")) + ReadFile(I("inside/q/deep")),
                "newabcddeep");
      continue;
    }
    // Once the swap is undone, the installation is as it was.
    ASSERT_EQ(unlink(I("data").c_str()), 0);
    ASSERT_EQ(rename(I("data.moved").c_str(), I("data").c_str()), 0);
    EXPECT_EQ(testing_util::DiffSnapshots(before, SnapshotTree(inst_)), "");
  }
}

// Two actions that would each back up one file, a patch whose size does not
// add up, a decompressor without memory and an installation the user cannot
// write (7: a write failed) end the update before anything changes; accepted
// pairs are rolled back exactly.
TEST_F(HostilePathsTest, RefusedOrRolledBackBeforeAnythingChanges) {
  patch_testing::PatchParts huge = patch_testing::MakePatchFor("old a", "new a");
  huge.header.dest_length = 0xFFFFFF00u;
  const struct {
    std::string manifest, status;
    std::vector<std::string> env = {};
    bool as_nobody = false;
  } cases[] = {
      {"add \"a\"\nadd \"a\"\nadd \"missing\"\n", "failed: 5\n"},
      {"add \"a\"\nremove \"a\"\n", "failed: 5\n"},
      {"patch \"a.patch\" \"a\"\nadd \"a\"\n", "failed: 5\n"},
      {"add \"a\"\nadd \"./a\"\n", "failed: 5\n"},
      {"add \"real/f\"\nadd \"inlink/f\"\n", "failed: 5\n"},
      {"add-if \"a\" \"n\"\nadd \"a\"\nadd-if-not \"missing\" \"a\"\n", "failed: 5\n"},
      {"remove \"a\"\nadd \"a\"\nadd \"missing\"\n", "failed: 6\n"},
      {"add \"n\"\npatch \"n.patch\" \"n\"\nadd-if-not \"a\" \"a\"\nadd \"missing\"\n",
       "failed: 6\n"},
      {"patch \"huge.patch\" \"a\"\n", "failed: 41\n"},
      {"add \"n\"\n", "failed: 11\n", {"LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_BZ_NO_MEMORY=1"}},
      {"add \"n\"\n", "failed: 7\n", {}, true},
      {"addlink \"out/l\" \"a\"\n", "failed: 5\n"},
      {"adddir \"out/d/\" \"0700\"\n", "failed: 5\n"},
  };
  WriteFile(I("a"), "old a");
  WriteFile(I("real/f"), "f");
  ASSERT_EQ(symlink("real", I("inlink").c_str()), 0);
  ASSERT_EQ(symlink(root_.path().c_str(), I("out").c_str()), 0);
  const auto before = SnapshotTree(inst_);
  std::vector<archive_testing::TestEntry> entries = {
      {"updatev3.manifest", ""},
      {"a", "new a"},
      {"n", "n"},
      {"real/f", "f2"},
      {"inlink/f", "f3"},
      {"a.patch", patch_testing::MakePatchFor("old a", "new a").Serialize()},
      {"n.patch", patch_testing::MakePatchFor("n", "nn").Serialize()},
      {"huge.patch", huge.Serialize()}};
  for (const auto& c : cases) {
    entries[0].contents = c.manifest;
    ASSERT_TRUE(update_.WriteEntries(entries));
    ASSERT_EQ(testing_util::RunCommand("chown -R nobody '" + root_.Sub("upd") + "'"), 0);
    auto run = [&] { return RunUpdater(update_.Args(), c.env).exit_code; };
    int rv = c.as_nobody ? testing_util::RunAsNobody(run) : run();
    if (rv < 0) {
      printf("skipped: cannot run as the user nobody: %s", c.manifest.c_str());
      continue;
    }
    EXPECT_EQ(rv, 1) << c.manifest;
    EXPECT_EQ(update_.Status(), c.status) << c.manifest << update_.Log();
    EXPECT_EQ(testing_util::DiffSnapshots(before, SnapshotTree(inst_)), "") << c.manifest;
  }
}

// Root updating another user's installation leaves it that user's: replaced
// and patched files keep their owner, new files and directories take their
// directory's; a staged copy keeps the owners and only reads the
// installation (a read-only file stays read-only).
TEST_F(HostilePathsTest, OwnersAreKeptAndTheStagedCopyOnlyReads) {
  struct passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and the user nobody";
  ASSERT_TRUE(update_.WriteArchive());
  for (bool staged : {false, true}) {
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_EQ(testing_util::RunCommand("chown -hR nobody:" + std::to_string(nobody->pw_gid) + " '" +
                                       inst_ + "'"),
              0);
    const auto original = update_.Installation();
    auto v = updater_fixture::Judge(update_, RunUpdater(update_.Args(staged)), original,
                                    update_.Expected(), {staged});
    EXPECT_TRUE(v.succeeded && v.problems.empty()) << ::testing::PrintToString(v.problems);
    const std::string target = staged ? update_.StagedDir() : inst_;
    for (const auto& [path, desc] : update_.Target(staged)) {
      struct stat st;
      ASSERT_EQ(lstat((target + "/" + path).c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, nobody->pw_uid) << staged << " " << path;
      EXPECT_EQ(st.st_gid, nobody->pw_gid) << staged << " " << path;
    }
  }
}

}  // namespace

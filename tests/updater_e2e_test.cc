// End-to-end tests: real update archives, the built updater run as a separate
// process, and the status file, the log, the exit code and the installation
// afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "patch/patch_test_util.h"
#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::DiffSnapshots;
using testing_util::Exists;
using testing_util::ReadFile;
using testing_util::WriteFile;
using updater_fixture::RunUpdater;

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_EQ(testing_util::RunCommand("mkdir -p " + upd_), 0);
  }
  void ExpectLogLines(const std::string& log, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) EXPECT_NE(log.find(line), std::string::npos) << log;
  }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("app"), upd_ = inst_ + "/updates/0";
  updater_fixture::MixedUpdate update_{inst_, upd_};
};

// One archive after the other, with the manifests of the older and the newer
// name (empty: none; both empty: no archive): the status and a log line.
TEST_F(UpdaterTest, ManifestNamesAndTypeLine) {
  const struct {
    std::string v2, v3, status, log;
  } cases[] = {
      {"# comment\nadd \"a\"\n", "", "succeeded\n", ""},
      {"add \"b\"\n", "add \"a\"\n", "succeeded\n", ""},  // the newer wins
      {"", "add \"a\"\ntype \"partial\"\n", "failed: 5\n", "DoUpdate: unknown token: type\n"},
      {"", "type \"partial\"\n", "failed: 40\n", "UPDATE TYPE partial\nempty action list\n"},
      {"", "", "failed: 6\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.v2 + c.v3);
    unlink((upd_ + "/update.qex").c_str());
    std::vector<archive_testing::TestEntry> entries = {{"a", "new"}, {"b", "b"}};
    if (!c.v2.empty()) entries.push_back({"updatev2.manifest", c.v2});
    if (!c.v3.empty()) entries.push_back({"updatev3.manifest", c.v3});
    ASSERT_TRUE(entries.size() == 2 || update_.WriteEntries(entries));
    EXPECT_EQ(RunUpdater(update_.Args()).exit_code, c.status == "succeeded\n" ? 0 : 1);
    EXPECT_EQ(update_.Status(), c.status);
    ExpectLogLines(update_.Log(), {c.log});
    EXPECT_EQ(ReadFile(inst_ + "/a"), "new");
    EXPECT_FALSE(Exists(inst_ + "/b"));
  }
}

// Files named like backups that were there before the run are the
// installation's own, and a file the update adds under a backup's name does
// not displace the backup: each is kept, restored or replaced as any file.
TEST_F(UpdaterTest, FilesNamedLikeBackupsAreNeverTakenForTheRunsOwn) {
  using Files = std::map<std::string, std::string>;  // "b.quil-backup" etc. start as "user"
  const Files a_new = {{"a", "new a"}, {"a.quil-backup", "new a.quil-backup"}},
              a_kept = {{"a", "old"}, {"a.quil-backup", "user"}};
  const struct {
    std::string manifest, status;
    Files after;
  } cases[] = {
      {"add \"missing\"\nadd \"c\"\n", "failed: 6\n", {{"c", "old"}, {"c.quil-backup", "user"}}},
      {"add \"b\"\n", "succeeded\n", {{"b", "new b"}, {"b.quil-backup", "user"}}},
      {"add \"a.quil-backup\"\nadd \"a\"\n", "succeeded\n", a_new},
      {"add \"a\"\nadd \"a.quil-backup\"\n", "succeeded\n", a_new},
      {"add \"a\"\nadd \"a.quil-backup\"\nadd \"missing\"\n", "failed: 6\n", a_kept},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.manifest);
    ASSERT_EQ(testing_util::RunCommand("rm -rf " + inst_ + "/*"), 0);
    for (const char* name : {"a", "b", "c"}) WriteFile(inst_ + "/" + name, "old");
    for (const char* name : {"a.quil-backup", "b.quil-backup", "c.quil-backup"})
      WriteFile(inst_ + "/" + name, "user");
    ASSERT_TRUE(update_.WriteEntries({{"updatev3.manifest", c.manifest},
                                      {"a", "new a"},
                                      {"b", "new b"},
                                      {"c", "new c"},
                                      {"a.quil-backup", "new a.quil-backup"}}));
    RunUpdater(update_.Args());
    EXPECT_EQ(update_.Status(), c.status);
    for (const auto& [name, data] : c.after) EXPECT_EQ(ReadFile(inst_ + "/" + name), data) << name;
    auto now = update_.Installation();
    EXPECT_EQ(now.size(), 6u) << DiffSnapshots({}, now);
  }
}

TEST_F(UpdaterTest, ArgumentsAndRelativeOrMissingDirectories) {
  auto r = RunUpdater({upd_});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "Usage: updater update-dir apply-to-dir [wait-pid [callback-working-dir "
            "callback-path args...]]\n       updater --check [--json] update-dir apply-to-dir\n");
  EXPECT_FALSE(Exists(upd_ + "/update.status"));
  // An apply-to directory that can be neither entered nor created ends with a
  // final status rather than "applying" for good.
  EXPECT_EQ(RunUpdater({upd_, inst_ + "/bin/app/sub"}).exit_code, 1);
  EXPECT_EQ(update_.Status(), "failed: 7\n");
  // Relative paths, and an apply-to directory that is created.
  ASSERT_TRUE(
      update_.WriteEntries({{"updatev3.manifest", "add \"d/f\"\npatch \"p\" \"d/f\"\n"},
                            {"d/f", "abc"},
                            {"p", patch_testing::MakePatchFor("abc", "abcd").Serialize()}}));
  r = RunUpdater({"app/updates/0", "fresh/"}, {},
                 {"/bin/sh", "-c", "cd '" + root_.path() + "' && exec \"$0\" \"$@\""});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(root_.Sub("fresh/d/f")), "abcd");
  EXPECT_EQ(update_.Status(), "succeeded\n");
  ExpectLogLines(update_.Log(), {"SOURCE DIRECTORY " + upd_ + "\n",
                                 "DESTINATION DIRECTORY " + root_.Sub("fresh") + "\n",
                                 "\nsucceeded\ncalling QuitProgressUI\n"});
}

TEST_F(UpdaterTest, StagedUpdateThenReplace) {
  ASSERT_TRUE(update_.WriteArchive());
  WriteFile(upd_ + "/keep.txt", "update dir content");
  const std::string staged = update_.StagedDir();
  WriteFile(staged + "/stale.txt", "from an earlier staging");
  WriteFile(staged + "/.quil-staged", "");
  const auto original = update_.Installation();
  auto v = updater_fixture::Judge(update_, RunUpdater(update_.Args(true)), original,
                                  update_.Expected(), {true});
  EXPECT_TRUE(v.succeeded);
  EXPECT_EQ(::testing::PrintToString(v.problems), "{}");
  EXPECT_EQ(DiffSnapshots(update_.Expected(), update_.Target(true)), "");
  ExpectLogLines(update_.Log(), {"Performing a staged update\n", "UPDATE TYPE complete\n"});
  EXPECT_FALSE(Exists(staged + "/updated") || Exists(staged + "/updates/0"));
  // A staged copy into another directory inside the installation leaves that out too.
  EXPECT_EQ(RunUpdater({upd_, inst_ + "/stage", "-1"}).exit_code, 0) << update_.Log();
  auto stage = testing_util::SnapshotTree(inst_ + "/stage");
  stage.erase("updates");  // its "0" is left out
  EXPECT_EQ(stage.erase(".quil-staged"), 1u);
  EXPECT_EQ(DiffSnapshots(update_.Expected(), stage), "");
  EXPECT_EQ(ReadFile(inst_ + "/bin/app"), "#!/bin/sh\necho old\n");

  EXPECT_EQ(RunUpdater({upd_, staged, "0/replace"}).exit_code, 0);
  EXPECT_EQ(update_.Status(), "succeeded\n");
  EXPECT_EQ(DiffSnapshots(update_.Expected(), update_.Installation()), "");
  EXPECT_FALSE(Exists(inst_ + ".bak"));
  ExpectLogLines(ReadFile(inst_ + "/updates/update.log"),
                 {"Performing a replace request\n",
                  "Begin moving sourceDir (" + inst_ + ") to tmpDir (" + inst_ + ".bak)\n",
                  "Now, remove the tmpDir\nsucceeded\n"});
}

// A callback script that records its arguments, working directory and the
// relaunch environment runs whatever the outcome, unless suppressed or not
// given. GTK must not see its arguments (it would take some as its own options
// and load the library --gtk-module names), and it does not inherit SIGPIPE
// ignored, as GTK or the updater's own parent leave it. A replace request that fails (there is no
// staged copy here) moves the installation back and leaves "pending" without a relaunch, unless the
// fallback is forbidden.
TEST_F(UpdaterTest, CallbackRelaunch) {
  const std::string script = root_.Sub("callback.sh"), record = script + ".txt";
  WriteFile(script, R"sh(#!/bin/sh
{ echo "args:$*"; echo "cwd:$(pwd)"; echo "child:$QUIL_LAUNCHED_CHILD"
  echo "norestart:${NO_EM_RESTART-unset}"
  echo "pipe:$(( 0x$(awk '/^SigIgn:/ { print $2 }' /proc/$$/status) >> 12 & 1 ))"; } > "$0.txt"
)sh",
            0755);
  ASSERT_EQ(mkdir(root_.Sub("cbdir").c_str(), 0755), 0);
  const std::string env = "cwd:" + root_.Sub("cbdir") + "\nchild:1\nnorestart:\npipe:0\n",
                    evil = root_.Sub("evil.so");
  const std::vector<std::string> gtk = {script,    "--name=foo", "--sync",
                                        "--class", "X",          "--gtk-module=" + evil};
  const auto original = update_.Installation();
  const struct {
    bool replace;
    std::vector<std::string> tail, env;
    std::string status, record;  // with an archive exactly when "succeeded\n"
  } cases[] = {
      {true, {script}, {}, "pending", ""},
      {true, {script}, {"QUIL_NO_REPLACE_FALLBACK="}, "failed: 6\n", "args:\n" + env},
      {false, {script}, {}, "failed: 6\n", "args:\n" + env},
      {false,
       gtk,
       {},
       "succeeded\n",
       "args:--name=foo --sync --class X --gtk-module=" + evil + "\n" + env},
      {false, {script}, {"QUIL_PROCESS_UPDATES="}, "succeeded\n", ""},
      {false, {}, {}, "succeeded\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((c.replace ? "replace: " : "") + c.status + c.record);
    unlink(record.c_str());
    const bool archive = c.status == "succeeded\n";
    ASSERT_TRUE(!archive ||
                update_.WriteEntries({{"updatev3.manifest", "add \"a\"\n"}, {"a", "new"}}));
    std::vector<std::string> args = {upd_, c.replace ? update_.StagedDir() : inst_,
                                     c.replace ? "0/replace" : "0", root_.Sub("cbdir")};
    args.insert(args.end(), c.tail.begin(), c.tail.end());
    // The relaunched script's exit code is the process's.
    EXPECT_EQ(
        RunUpdater(args, c.env, {"/bin/sh", "-c", "trap '' PIPE; exec \"$0\" \"$@\""}).exit_code,
        c.status == "pending" ? 1 : 0);
    EXPECT_EQ(update_.Status(), c.status);
    EXPECT_EQ(ReadFile(record), c.record);
    EXPECT_FALSE(Exists(inst_ + ".bak"));
    auto want = original;
    if (archive) want["a"] = "file 0644 new";
    EXPECT_EQ(DiffSnapshots(want, update_.Installation()), "");
  }
}

}  // namespace

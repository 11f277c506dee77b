// End-to-end tests: build real update archives, run the built `updater` as a
// separate process, and examine the status file, the log, the exit code and
// the installation afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "patch/patch_test_util.h"
#include "testing/test_util.h"

using archive_testing::TestEntry;
using testing_util::Exists;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::SnapshotTree;
using testing_util::WriteFile;

namespace {

struct RunResult {
  int exit_code = -1;
  std::string err;  // standard error
};

// Runs updater with `args` and extra environment entries ("NAME=value"; a
// bare "NAME" removes the variable). No display: the window never shows.
RunResult RunUpdater(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                     const std::string& cwd = "") {
  ScopedTempDir errdir;
  std::string errpath = errdir.Sub("stderr");
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, 2);
    unsetenv("DISPLAY");
    for (const char* v : {"QUIL_OS_UPDATE", "QUIL_PROCESS_UPDATES", "QUIL_NO_REPLACE_FALLBACK",
                          "QUIL_LAUNCHED_CHILD", "NO_EM_RESTART"}) {
      unsetenv(v);
    }
    for (const std::string& e : env) {
      size_t eq = e.find('=');
      if (eq == std::string::npos) {
        unsetenv(e.c_str());
      } else {
        setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
      }
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(120);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(UPDATER_BINARY));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(UPDATER_BINARY, argv.data());
    _exit(121);
  }
  RunResult r;
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.err = ReadFile(errpath);
  return r;
}

std::string Patch(const std::string& from, const std::string& to) {
  return patch_testing::MakePatchFor(from, to).Serialize();
}

// Names of files below `root` that end in the backup suffix.
std::vector<std::string> Backups(const std::string& root) {
  std::vector<std::string> out;
  for (const auto& [path, desc] : SnapshotTree(root)) {
    if (path.size() > 12 && path.compare(path.size() - 12, 12, ".quil-backup") == 0) {
      out.push_back(path);
    }
  }
  return out;
}

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_ = root_.Sub("app");
    upd_ = root_.Sub("app/updates/0");
    mkdir(inst_.c_str(), 0755);
    mkdir(root_.Sub("app/updates").c_str(), 0755);
    mkdir(upd_.c_str(), 0755);
  }

  // A small but real installation: files of several sizes and modes, a
  // subdirectory tree, a symbolic link, a precomplete file.
  void MakeInstallation() {
    WriteFile(inst_ + "/bin/app", "#!/bin/sh\necho old\n", 0755);
    WriteFile(inst_ + "/lib/libbig.so", big_old_, 0644);
    WriteFile(inst_ + "/lib/libgone.so", "gone", 0644);
    WriteFile(inst_ + "/share/readme.txt", "old readme\n", 0444);
    WriteFile(inst_ + "/plugins/a/one.dat", "one", 0600);
    WriteFile(inst_ + "/plugins/a/b/two.dat", "two", 0640);
    WriteFile(inst_ + "/obsolete/x.txt", "x", 0644);
    WriteFile(inst_ + "/precomplete",
              "remove \"precomplete\"\nremove \"bin/app\"\nremove \"obsolete/x.txt\"\n"
              "rmdir \"obsolete/\"\n",
              0644);
    ASSERT_EQ(symlink("libbig.so", (inst_ + "/lib/libbig.so.1").c_str()), 0);
    ASSERT_EQ(symlink("../lib", (inst_ + "/plugins/a/liblink").c_str()), 0);
  }

  // The archive of a realistic mixed update, with `extra` manifest lines
  // inserted before line `fail_at` (or appended when it is past the end).
  void MakeArchive(const std::vector<std::string>& extra = {}, size_t fail_at = 999,
                   const std::string& manifest_name = "updatev3.manifest") {
    std::vector<std::string> lines = {
        "add \"bin/app\"",
        "patch \"lib/libbig.so.patch\" \"lib/libbig.so\"",
        "add \"share/new/notes.txt\"",
        "add-if \"share/readme.txt\" \"share/readme.txt\"",
        "add-if-not \"share/missing.txt\" \"share/extra.txt\"",
        "remove \"lib/libgone.so\"",
        "rmrfdir \"plugins/\"",
        "add \"precomplete\"",
    };
    lines.insert(lines.begin() + std::min(fail_at, lines.size()), extra.begin(), extra.end());
    std::string manifest = "type \"complete\"\n";
    for (const std::string& l : lines) manifest += l + "\n";
    std::vector<TestEntry> entries = {
        {manifest_name, manifest},
        {"bin/app", "#!/bin/sh\necho new\n", 0755},
        {"lib/libbig.so.patch", Patch(big_old_, big_new_)},
        {"share/new/notes.txt", "notes\n", 0644},
        {"share/readme.txt", "new readme\n", 0644},
        {"share/extra.txt", "extra\n", 0600},
        {"precomplete", "remove \"precomplete\"\nremove \"bin/app\"\n", 0644},
    };
    for (const TestEntry& e : extra_entries_) entries.push_back(e);
    ASSERT_TRUE(archive_testing::WriteTestArchive(upd_ + "/update.qex", entries));
  }

  std::string Status() const { return ReadFile(upd_ + "/update.status"); }
  std::string Log() const { return ReadFile(upd_ + "/update.log"); }

  // Everything of the installation except the update directory.
  std::map<std::string, std::string> InstallSnapshot() const {
    std::map<std::string, std::string> snap = SnapshotTree(inst_);
    for (auto it = snap.begin(); it != snap.end();) {
      it = it->first.rfind("updates", 0) == 0 ? snap.erase(it) : std::next(it);
    }
    return snap;
  }

  ScopedTempDir root_;
  std::string inst_;
  std::string upd_;
  std::string big_old_ = testing_util::RandomBytes(300000, 1);
  std::string big_new_ = big_old_.substr(0, 200000) + "inserted" + big_old_.substr(150000);
  std::vector<TestEntry> extra_entries_;
};

TEST_F(UpdaterTest, MixedUpdateSucceeds) {
  MakeInstallation();
  MakeArchive();
  RunResult r = RunUpdater({upd_, inst_});
  EXPECT_EQ(r.exit_code, 0) << r.err << Log();
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(ReadFile(inst_ + "/bin/app"), "#!/bin/sh\necho new\n");
  EXPECT_EQ(testing_util::ModeOf(inst_ + "/bin/app"), 0755u);
  EXPECT_EQ(ReadFile(inst_ + "/lib/libbig.so"), big_new_);
  EXPECT_EQ(ReadFile(inst_ + "/share/new/notes.txt"), "notes\n");
  EXPECT_EQ(ReadFile(inst_ + "/share/readme.txt"), "new readme\n");
  EXPECT_EQ(ReadFile(inst_ + "/share/extra.txt"), "extra\n");
  EXPECT_FALSE(Exists(inst_ + "/lib/libgone.so"));
  EXPECT_FALSE(Exists(inst_ + "/plugins"));
  EXPECT_FALSE(Exists(inst_ + "/obsolete"));
  EXPECT_TRUE(Exists(inst_ + "/lib/libbig.so.1"));  // the link target of plugins/a/liblink
  EXPECT_EQ(ReadFile(inst_ + "/precomplete"), "remove \"precomplete\"\nremove \"bin/app\"\n");
  EXPECT_FALSE(Exists(inst_ + "/updating"));
  EXPECT_TRUE(Backups(inst_).empty());
  std::string log = Log();
  EXPECT_NE(log.find("SOURCE DIRECTORY " + upd_ + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("DESTINATION DIRECTORY " + inst_ + "\n"), std::string::npos);
  EXPECT_NE(log.find("UPDATE TYPE complete\n"), std::string::npos);
  EXPECT_NE(log.find("\nsucceeded\ncalling QuitProgressUI\n"), std::string::npos) << log;
}

// A failing action in every position of the manifest: the installation must
// come back byte for byte, mode for mode, with no leftovers.
TEST_F(UpdaterTest, FailureInEveryPositionRestoresTheInstallation) {
  MakeInstallation();
  const auto before = InstallSnapshot();
  struct Failure {
    std::string line;
    int code;
  };
  // A missing entry (6), a corrupt stream (39), a patch for the wrong file (4).
  extra_entries_ = {{"bad.bin", "not bzip2 at all", 0644, false}};
  const std::vector<Failure> failures = {
      {"add \"lib/missing-entry.so\"", 6},
      {"add \"bad.bin\"", 39},
      {"patch \"lib/libbig.so.patch\" \"share/readme.txt\"", 42},
  };
  for (const Failure& f : failures) {
    for (size_t pos = 0; pos <= 8; ++pos) {
      SCOPED_TRACE(f.line + " at " + std::to_string(pos));
      MakeArchive({f.line}, pos);
      RunResult r = RunUpdater({upd_, inst_});
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(Status(), "failed: " + std::to_string(f.code) + "\n");
      std::string log = Log();
      EXPECT_NE(log.find("\nfailed: " + std::to_string(f.code) + "\n"), std::string::npos) << log;
      EXPECT_EQ(testing_util::DiffSnapshots(before, InstallSnapshot()), "") << log;
      EXPECT_FALSE(Exists(inst_ + "/updating"));
      EXPECT_TRUE(Backups(inst_).empty());
    }
  }
}

TEST_F(UpdaterTest, PathsLeavingTheInstallationChangeNothing) {
  MakeInstallation();
  WriteFile(root_.Sub("outside.txt"), "outside", 0644);
  const auto before = SnapshotTree(root_.path());
  for (const std::string line : {"add \"../outside.txt\"", "remove \"/etc/hostname\"",
                                 "rmdir \"../app/\"", "add \"bin/../../outside.txt\""}) {
    SCOPED_TRACE(line);
    MakeArchive({line}, 3);
    auto with_archive = SnapshotTree(root_.path());
    with_archive.erase("app/updates/0/update.status");
    with_archive.erase("app/updates/0/update.log");
    RunResult r = RunUpdater({upd_, inst_});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(Status(), "failed: 5\n");
    auto after = SnapshotTree(root_.path());
    after.erase("app/updates/0/update.status");
    after.erase("app/updates/0/update.log");
    EXPECT_EQ(testing_util::DiffSnapshots(with_archive, after), "");
  }
  EXPECT_EQ(ReadFile(root_.Sub("outside.txt")), "outside");
}

TEST_F(UpdaterTest, ManifestVersionsAndTypeLine) {
  WriteFile(inst_ + "/a", "old");
  // Only the older manifest name present.
  ASSERT_TRUE(archive_testing::WriteTestArchive(
      upd_ + "/update.qex", {{"updatev2.manifest", "# comment\nadd \"a\"\n"}, {"a", "v2"}}));
  EXPECT_EQ(RunUpdater({upd_, inst_}).exit_code, 0);
  EXPECT_EQ(ReadFile(inst_ + "/a"), "v2");
  // Both names: the newer wins.
  ASSERT_TRUE(
      archive_testing::WriteTestArchive(upd_ + "/update.qex", {{"updatev2.manifest", "add \"b\"\n"},
                                                               {"updatev3.manifest", "add \"a\"\n"},
                                                               {"a", "v3"},
                                                               {"b", "b"}}));
  EXPECT_EQ(RunUpdater({upd_, inst_}).exit_code, 0);
  EXPECT_EQ(ReadFile(inst_ + "/a"), "v3");
  EXPECT_FALSE(Exists(inst_ + "/b"));
  // A type line after another line is an unknown keyword.
  ASSERT_TRUE(archive_testing::WriteTestArchive(
      upd_ + "/update.qex", {{"updatev3.manifest", "add \"a\"\ntype \"partial\"\n"}, {"a", "x"}}));
  EXPECT_EQ(RunUpdater({upd_, inst_}).exit_code, 1);
  EXPECT_EQ(Status(), "failed: 5\n");
  EXPECT_NE(Log().find("DoUpdate: unknown token: type\n"), std::string::npos);
  // A type other than complete and nothing else: an empty list.
  ASSERT_TRUE(archive_testing::WriteTestArchive(upd_ + "/update.qex",
                                                {{"updatev3.manifest", "type \"partial\"\n"}}));
  EXPECT_EQ(RunUpdater({upd_, inst_}).exit_code, 1);
  EXPECT_EQ(Status(), "failed: 40\n");
  EXPECT_NE(Log().find("UPDATE TYPE partial\nempty action list\n"), std::string::npos) << Log();
  // rmrfdir without its trailing slash.
  ASSERT_TRUE(archive_testing::WriteTestArchive(upd_ + "/update.qex",
                                                {{"updatev3.manifest", "rmrfdir \"x\"\n"}}));
  EXPECT_EQ(RunUpdater({upd_, inst_}).exit_code, 1);
  EXPECT_EQ(Status(), "failed: 5\n");
  // No archive at all.
  unlink((upd_ + "/update.qex").c_str());
  EXPECT_EQ(RunUpdater({upd_, inst_}).exit_code, 1);
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(ReadFile(inst_ + "/a"), "v3");
}

TEST_F(UpdaterTest, CommandLineErrors) {
  RunResult r = RunUpdater({upd_});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "Usage: updater update-dir apply-to-dir [wait-pid [callback-working-dir "
            "callback-path args...]]\n");
  EXPECT_FALSE(Exists(upd_ + "/update.status"));
  // An apply-to directory that can be neither entered nor created ends with a
  // final status rather than "applying" for good.
  WriteFile(root_.Sub("plainfile"), "x");
  r = RunUpdater({upd_, root_.Sub("plainfile/sub")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "failed: 7\n");
}

TEST_F(UpdaterTest, RelativeDirectoriesAndMissingApplyToDirectory) {
  ASSERT_TRUE(archive_testing::WriteTestArchive(
      upd_ + "/update.qex", {{"updatev3.manifest", "add \"d/f\"\npatch \"p\" \"d/f\"\n"},
                             {"d/f", "abc"},
                             {"p", Patch("abc", "abcd")}}));
  RunResult r = RunUpdater({"app/updates/0", "fresh/"}, {}, root_.path());
  EXPECT_EQ(r.exit_code, 0) << Log();
  EXPECT_EQ(ReadFile(root_.Sub("fresh/d/f")), "abcd");
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_NE(Log().find("DESTINATION DIRECTORY " + root_.Sub("fresh") + "\n"), std::string::npos)
      << Log();
}

// A callback script that records its arguments, working directory and the
// relaunch environment.
class CallbackTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    script_ = root_.Sub("callback.sh");
    record_ = root_.Sub("record.txt");
    WriteFile(script_,
              "#!/bin/sh\n{ echo \"args:$*\"; echo \"cwd:$(pwd)\"; "
              "echo \"child:${QUIL_LAUNCHED_CHILD}\"; "
              "echo \"norestart:${NO_EM_RESTART-unset}\"; } > " +
                  record_ + "\n",
              0755);
    mkdir(root_.Sub("cbdir").c_str(), 0755);
    WriteFile(inst_ + "/a", "old");
    ASSERT_TRUE(archive_testing::WriteTestArchive(
        upd_ + "/update.qex", {{"updatev3.manifest", "add \"a\"\n"}, {"a", "new"}}));
  }
  std::string script_;
  std::string record_;
};

TEST_F(CallbackTest, RelaunchesTheCallbackWhateverTheOutcome) {
  RunResult r = RunUpdater({upd_, inst_, "0", root_.Sub("cbdir"), script_, "--one", "two"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(ReadFile(record_),
            "args:--one two\ncwd:" + root_.Sub("cbdir") + "\nchild:1\nnorestart:\n");
  EXPECT_EQ(Status(), "succeeded\n");
  // A failed run relaunches all the same; the script's exit code is the process's.
  unlink(record_.c_str());
  unlink((upd_ + "/update.qex").c_str());
  r = RunUpdater({upd_, inst_, "0", root_.Sub("cbdir"), script_});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_EQ(ReadFile(record_), "args:\ncwd:" + root_.Sub("cbdir") + "\nchild:1\nnorestart:\n");
}

TEST_F(CallbackTest, NoRelaunchWhenSuppressedOrIncomplete) {
  RunResult r =
      RunUpdater({upd_, inst_, "0", root_.Sub("cbdir"), script_}, {"QUIL_PROCESS_UPDATES="});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(Exists(record_));
  r = RunUpdater({upd_, inst_, "0", root_.Sub("cbdir")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_FALSE(Exists(record_));
}

TEST_F(UpdaterTest, StagedUpdateThenReplace) {
  MakeInstallation();
  WriteFile(inst_ + "/updates/0/keep.txt", "update dir content");
  MakeArchive();
  const auto before = InstallSnapshot();
  std::string staged = inst_ + "/updated";
  WriteFile(staged + "/stale.txt", "from an earlier staging");

  RunResult r = RunUpdater({upd_, staged, "-1"});
  EXPECT_EQ(r.exit_code, 0) << Log();
  EXPECT_EQ(Status(), "applied\n");
  EXPECT_NE(Log().find("Performing a staged update\n"), std::string::npos);
  // The installation itself is untouched; the copy holds the update.
  auto now = InstallSnapshot();
  for (auto it = now.begin(); it != now.end();) {
    it = it->first.rfind("updated", 0) == 0 ? now.erase(it) : std::next(it);
  }
  // Copying gives a read-only source file owner write permission, by design.
  EXPECT_EQ(testing_util::DiffSnapshots(before, now),
            "changed: share/readme.txt (file 0444 old readme\n -> file 0644 old readme\n)\n");
  EXPECT_EQ(ReadFile(staged + "/bin/app"), "#!/bin/sh\necho new\n");
  EXPECT_EQ(ReadFile(staged + "/lib/libbig.so"), big_new_);
  EXPECT_FALSE(Exists(staged + "/stale.txt"));
  EXPECT_FALSE(Exists(staged + "/updated"));
  EXPECT_FALSE(Exists(staged + "/updates/0"));
  EXPECT_FALSE(Exists(staged + "/updating"));

  // A stale backup directory from an earlier attempt is removed first.
  WriteFile(inst_ + ".bak/old.txt", "stale");
  r = RunUpdater({upd_, staged, "0/replace"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(Status(), "succeeded\n");
  EXPECT_EQ(ReadFile(inst_ + "/bin/app"), "#!/bin/sh\necho new\n");
  EXPECT_FALSE(Exists(inst_ + ".bak"));
  std::string log = ReadFile(inst_ + "/updates/update.log");
  EXPECT_NE(log.find("Performing a replace request\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Begin moving sourceDir (" + inst_ + ") to tmpDir (" + inst_ + ".bak)\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Now, remove the tmpDir\nsucceeded\n"), std::string::npos) << log;
}

TEST_F(CallbackTest, ReplaceFallBackWithAndWithoutPermission) {
  const auto before = InstallSnapshot();
  std::string staged = inst_ + "/updated";
  // No staged copy: the swap fails, is rolled back, and falls back to pending.
  RunResult r = RunUpdater({upd_, staged, "0/replace", root_.Sub("cbdir"), script_});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Status(), "pending");
  EXPECT_FALSE(Exists(record_));
  EXPECT_FALSE(Exists(inst_ + ".bak"));
  EXPECT_EQ(testing_util::DiffSnapshots(before, InstallSnapshot()), "");

  r = RunUpdater({upd_, staged, "0/replace", root_.Sub("cbdir"), script_},
                 {"QUIL_NO_REPLACE_FALLBACK="});
  EXPECT_EQ(Status(), "failed: 6\n");
  EXPECT_TRUE(Exists(record_));
  EXPECT_EQ(r.exit_code, 0);  // the callback's own exit code
  EXPECT_EQ(testing_util::DiffSnapshots(before, InstallSnapshot()), "");
}

TEST_F(UpdaterTest, StagedCopyIntoAnotherDirectoryInsideTheInstallation) {
  WriteFile(inst_ + "/a", "old");
  WriteFile(inst_ + "/sub/b", "b");
  ASSERT_TRUE(archive_testing::WriteTestArchive(
      upd_ + "/update.qex", {{"updatev3.manifest", "add \"a\"\n"}, {"a", "new"}}));
  std::string staged = inst_ + "/stage";
  RunResult r = RunUpdater({upd_, staged, "-1"});
  EXPECT_EQ(r.exit_code, 0) << Log();
  EXPECT_EQ(ReadFile(staged + "/a"), "new");
  EXPECT_EQ(ReadFile(staged + "/sub/b"), "b");
  EXPECT_FALSE(Exists(staged + "/stage"));
  EXPECT_EQ(ReadFile(inst_ + "/a"), "old");
}

}  // namespace

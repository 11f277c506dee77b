// What the installation's owner (nobody) can do to the files root's updater
// reads and makes: a FIFO for the archive, a manifest far too large, the work
// directory or the installation swapped for a link while the run uses it, the
// archive rewritten after its signature was checked. The updater runs as
// root; a root-owned tree beside the installation must stay as it was, and
// no run may block for long.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "patch/patch_test_util.h"
#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::DiffSnapshots;
using testing_util::Exists;
using testing_util::ReadFile;
using testing_util::RunCommand;
using testing_util::SnapshotTree;
using testing_util::WriteFile;
using updater_fixture::RunOutcome;
using updater_fixture::RunUpdater;

class HostileOwnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
    WriteFile(root_.Sub("protected/config"), "root's own\n", 0600);
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_TRUE(update_.WriteArchive());
    GiveAway();
  }
  void TearDown() override { ExpectProtectedUnchanged(); }
  void ExpectProtectedUnchanged() {
    EXPECT_EQ(DiffSnapshots(protected_, SnapshotTree(root_.Sub("protected"))), "");
  }
  // The installation and the update directory to nobody; the protected tree
  // as it must stay.
  void GiveAway() {
    ASSERT_EQ(RunCommand("chown -hR nobody:nogroup '" + home_ + "' '" + upd_ + "'"), 0);
    protected_ = SnapshotTree(root_.Sub("protected"));
  }
  // A shell command run by nobody in `dir`; its exit status.
  static int AsNobody(const std::string& dir, const std::string& cmd) {
    return testing_util::RunAsNobody(
        [&] { return RunCommand("cd '" + dir + "' && { " + cmd + "; }"); });
  }
  // Runs the updater as RunUpdater does, calling `step` every few
  // milliseconds until it ends, for at most 60 seconds.
  RunOutcome RunWhile(const std::vector<std::string>& args, const std::vector<std::string>& env,
                      const std::vector<std::string>& prefix, const std::function<void()>& step) {
    std::atomic<bool> ended{false};
    RunOutcome run;
    std::vector<std::string> timed = {"/usr/bin/timeout", "-k", "5", "60"};
    timed.insert(timed.end(), prefix.begin(), prefix.end());
    std::thread updater([&] {
      run = RunUpdater(args, env, timed);
      ended = true;
    });
    while (!ended) {
      step();
      usleep(5000);
    }
    updater.join();
    return run;
  }

  testing_util::ScopedTempDir root_;
  const std::string home_ = root_.Sub("home"), inst_ = home_ + "/app", upd_ = root_.Sub("upd"),
                    archive_ = upd_ + "/update.qex", marker_ = root_.Sub("paused");
  const std::vector<std::string> pause_ = {
      "LD_PRELOAD=" INTERPOSE_LIB, "UPDATER_PAUSE_NAME=trigger", "UPDATER_PAUSE_FILE=" + marker_};
  updater_fixture::MixedUpdate update_{inst_, upd_};
  updater_fixture::Snapshot protected_;
};

// A FIFO in the archive's place would hold root's updater in open(); a
// manifest of comments far over the limit would take its memory. Both are
// refused at once, within a data limit below the manifest's size.
TEST_F(HostileOwnerTest, FifoArchiveAndOversizedManifestAreRefused) {
  // One comment line of 48 MiB, then a line that would apply.
  const std::string huge = "#" + std::string(48u << 20, 'x') + "\nadd \"f\"\n";
  const struct {
    const char* what;
    std::function<bool()> plant;
    std::string status, log;
  } cases[] = {
      {"fifo", [&] { return unlink(archive_.c_str()) == 0 && mkfifo(archive_.c_str(), 0666) == 0; },
       "failed: 6\n", "refusing the archive " + archive_ + ": not a regular file\n"},
      {"manifest",
       [&] {
         return unlink(archive_.c_str()) == 0 &&
                update_.WriteEntries({{"updatev3.manifest", huge}, {"f", "f"}});
       },
       "failed: 5\n", "ExtractManifest: the manifest is larger than 16777216 bytes\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.plant());
    GiveAway();
    const auto before = update_.Installation();
    auto run =
        RunUpdater(update_.Args(), {},
                   {"/usr/bin/prlimit", "--data=40000000", "/usr/bin/timeout", "-k", "5", "20"});
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_EQ(update_.Status(), c.status);
    EXPECT_NE(update_.Log().find(c.log), std::string::npos) << update_.Log();
    EXPECT_EQ(DiffSnapshots(before, update_.Installation()), "");
    ExpectProtectedUnchanged();
  }
}

// While the run prepares, the owner moves root's work directory away and puts
// a link to a root-owned directory, or a directory of links into it, in its
// place. The patch and the decoded entries still go to root's own directory.
TEST_F(HostileOwnerTest, WorkDirectorySwappedWhileTheRunUsesIt) {
  const std::string prot = root_.Sub("protected");
  const struct {
    const char* what;
    std::string plant;
  } cases[] = {
      {"link", "ln -s '" + prot + "' updating"},
      {"links",
       "mkdir updating && for n in 0.patch .early-0 .early-1 .early-2 update.manifest; do "
       "ln -s '" +
           prot + "'/$n updating/$n; done"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Root's files of the names the run gives its own.
    for (const char* name : {"0.patch", ".early-0", ".early-1", ".early-2", "update.manifest"})
      WriteFile(prot + "/" + name, "root's\n", 0600);
    ASSERT_TRUE(update_.MakeInstallation());
    WriteFile(inst_ + "/data", "abc");
    ASSERT_TRUE(update_.WriteEntries(
        {{"updatev3.manifest", "add-if \"trigger\" \"x\"\npatch \"p.patch\" \"data\"\nadd \"n\"\n"},
         {"x", "x"},
         {"p.patch", patch_testing::MakePatchFor("abc", "abcd").Serialize()},
         {"n", "new"}}));
    GiveAway();
    bool swapped = false;
    auto run = RunWhile(update_.Args(), pause_, {}, [&] {
      if (!Exists(marker_)) return;
      swapped = AsNobody(inst_, "mv updating updating.root && " + c.plant) == 0;
      unlink(marker_.c_str());
    });
    EXPECT_TRUE(swapped);
    EXPECT_EQ(update_.Status(), "succeeded\n") << update_.Log();
    EXPECT_EQ(ReadFile(inst_ + "/data"), "abcd");
    ExpectProtectedUnchanged();
  }
}

// The owner puts a link to a root-owned copy of the installation in its place
// while root waits for the application: the run refuses and changes nothing.
TEST_F(HostileOwnerTest, InstallationSwappedWhileTheUpdaterWaits) {
  ASSERT_EQ(RunCommand("cp -a '" + inst_ + "' '" + root_.Sub("protected/app") +
                       "' && chown -R root:root '" + root_.Sub("protected") + "'"),
            0);
  GiveAway();
  pid_t app = fork();
  if (app == 0) {
    execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(app, 0);
  bool swapped = false;
  auto run = RunWhile({upd_, inst_, std::to_string(app)}, {}, {}, [&] {
    if (swapped || update_.Status() != "applying") return;
    swapped = AsNobody(home_, "mv app app.real && ln -s ../protected/app app") == 0;
    kill(app, SIGKILL);
  });
  waitpid(app, nullptr, 0);
  EXPECT_TRUE(swapped);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(update_.Status(), "failed: 34\n");
  EXPECT_NE(update_.Log().find("the installation directory is no longer the one locked for the "
                               "update: " +
                               inst_ + "\n"),
            std::string::npos)
      << update_.Log();
}

// A signed archive of the owner's, rewritten in place by them after the
// signature check (the updater stopped at an open of the archive by name
// after the check, or paused in the prepare phase): their content is never
// applied.
TEST_F(HostileOwnerTest, ArchiveRewrittenAfterItsSignatureWasChecked) {
  const std::string program = root_.Sub("bin/updater"), pid_file = root_.Sub("pid");
  ASSERT_TRUE(archive_testing::MakeKeyPair(root_.Sub("k")));
  ASSERT_EQ(RunCommand("mkdir -p '" + root_.Sub("bin") + "' && cp " UPDATER_BINARY " '" + program +
                       "' && cp '" + root_.Sub("k.pub") + "' '" + program + ".keys'"),
            0);
  updater_fixture::MixedUpdate evil(root_.Sub("unused"), root_.Sub("evil"));
  ASSERT_TRUE(evil.WriteEntries({{"updatev3.manifest", "add \"n\"\n"}, {"n", "unsigned"}}));
  ASSERT_TRUE(update_.WriteEntries({{"updatev3.manifest", "add-if \"trigger\" \"x\"\nadd \"n\"\n"},
                                    {"x", "x"},
                                    {"n", "signed"}}));
  ASSERT_TRUE(archive_testing::SignWith(archive_, root_.path(), {"k"}));
  GiveAway();
  std::vector<std::string> env = pause_;
  for (const char* e : {"UPDATER_FAULT_KIND=open", "UPDATER_FAULT_AT=1", "UPDATER_FAULT_STICKY=1",
                        "UPDATER_FAULT_SIGNAL=19"})
    env.push_back(e);
  env.push_back("UPDATER_FAULT_SCOPE=" + archive_);
  bool rewritten = false;
  auto run = RunWhile(
      update_.Args(), env,
      {"/bin/sh", "-c", "echo $$ >'" + pid_file + "' && exec '" + program + "' \"$@\""}, [&] {
        const pid_t pid = atoi(ReadFile(pid_file).c_str());
        const std::string stat = pid > 0 ? ReadFile("/proc/" + std::to_string(pid) + "/stat") : "";
        const size_t end = stat.rfind(") ");
        const bool stopped = end != std::string::npos && stat[end + 2] == 'T';
        if (!stopped && !Exists(marker_)) return;
        if (!rewritten) {
          rewritten = AsNobody(upd_, "cat '" + root_.Sub("evil/update.qex") + "' >update.qex") == 0;
        }
        unlink(marker_.c_str());
        if (stopped) kill(pid, SIGCONT);
      });
  EXPECT_TRUE(rewritten);
  // Either the signed update, or a refusal of the rewritten archive.
  const std::string status = update_.Status(), n = ReadFile(inst_ + "/n");
  EXPECT_TRUE((status == "succeeded\n" && n == "signed") || (status == "failed: 60\n" && n.empty()))
      << status << n << update_.Log();
}

}  // namespace

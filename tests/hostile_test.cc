// The updater among other processes, hostile arguments and files that are not
// what their names promise: it waits for the application, runs alone on an
// installation, never follows a link for its own files and refuses arguments
// that would destroy what it did not make. Links point to siblings whose names
// merely extend the installation's ("<installation>2", "<installation>.bak").
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::ReadFile;
using testing_util::SnapshotTree;
using testing_util::WriteFile;
using updater_fixture::RunUpdater;

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_TRUE(update_.WriteEntries({{"updatev3.manifest", "add \"a\"\n"}, {"a", "new"}}));
    WriteFile(inst_ + "2/victim", "outside");
    WriteFile(inst_ + ".bak/victim", "outside too");
  }
  updater_fixture::RunOutcome RunIn(const std::vector<std::string>& args,
                                    const std::string& redirect = "") {
    return RunUpdater(
        args, {}, {"/bin/sh", "-c", "cd '" + root_.path() + "' && exec \"$0\" \"$@\"" + redirect});
  }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("app"), upd_ = inst_ + "/updates/0";
  updater_fixture::MixedUpdate update_{inst_, upd_};
};

// The process to wait for is not the updater's child but the test's: a zombie
// once ended, which the update must not take for a running process.
TEST_F(HostileTest, WaitsForAProcessOfAnotherParent) {
  pid_t sleeper = fork();
  if (sleeper == 0) {
    usleep(500000);
    _exit(0);
  }
  ASSERT_GT(sleeper, 0);
  EXPECT_EQ(RunUpdater({upd_, inst_, std::to_string(sleeper)}).exit_code, 0);
  EXPECT_EQ(waitpid(sleeper, nullptr, WNOHANG), sleeper) << "the update ran before it ended";
  EXPECT_NE(update_.Log().find("Waiting for process " + std::to_string(sleeper) + " to end\n"),
            std::string::npos);
}

// While another run holds the installation, a run of any kind changes nothing,
// not even the first run's status and log.
TEST_F(HostileTest, OneRunAtATime) {
  ASSERT_EQ(testing_util::RunCommand("rm -r '" + inst_ + ".bak'"), 0);
  WriteFile(upd_ + "/update.status", "applying");
  WriteFile(upd_ + "/update.log", "the first run's log\n");
  const auto before = SnapshotTree(root_.path());
  // The lock of root's runs (see driver/run_lock.h).
  struct stat st;
  ASSERT_EQ(stat(inst_.c_str(), &st), 0);
  mkdir("/run/updater", 0700);
  int fd =
      open(("/run/updater/" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino) + ".lock")
               .c_str(),
           O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  for (const std::vector<std::string>& args :
       {update_.Args(), update_.Args(true), update_.ReplaceArgs()}) {
    SCOPED_TRACE(args[1] + " " + (args.size() > 2 ? args[2] : ""));
    auto r = RunUpdater(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("another update is running"), std::string::npos) << r.err;
    EXPECT_EQ(testing_util::DiffSnapshots(before, SnapshotTree(root_.path())), "");
  }
  close(fd);
  EXPECT_EQ(RunUpdater(update_.Args()).exit_code, 0);
}

// A flock that another user holds on the installation does not hold root's run
// off (it goes on under its own lock and says so); runs on nested installations
// refuse each other, whichever started first.
TEST_F(HostileTest, LocksAndTheApplyToDirectory) {
  const std::vector<std::string> bounded = {"/usr/bin/timeout", "-s", "KILL", "20"};
  ASSERT_EQ(chmod(root_.path().c_str(), 0755), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    int fd = setgid(65534) || setuid(65534) ? -1 : open(inst_.c_str(), O_RDONLY | O_DIRECTORY);
    char held = fd >= 0 && flock(fd, LOCK_EX) == 0;
    if (write(ready[1], &held, 1) == 1) pause();
    _exit(0);
  }
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  auto r = RunUpdater(update_.Args(), {}, bounded);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ASSERT_EQ(held, 1);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(update_.Log().find("another process holds the flock of the installation directory; "
                               "going on under root's own lock in /run/updater\n"),
            std::string::npos)
      << update_.Log();

  const std::string sub = inst_ + "/sub", first_upd = root_.Sub("u0");
  for (const std::string& upd : {first_upd, root_.Sub("u1")}) {
    ASSERT_TRUE(updater_fixture::MixedUpdate(sub, upd).WriteEntries(
        {{"updatev3.manifest", "add \"a\"\n"}, {"a", "new"}}));
  }
  for (const auto& [first, second] : {std::pair{inst_, sub}, std::pair{sub, inst_}}) {
    SCOPED_TRACE(first);
    // The first run holds its locks while it waits for a process.
    pid_t sleeper = fork();
    if (sleeper == 0) {
      pause();
      _exit(0);
    }
    pid_t run = fork();
    if (run == 0) _exit(RunUpdater({first_upd, first, std::to_string(sleeper)}).exit_code);
    for (int i = 0; i < 2000 && ReadFile(first_upd + "/update.status") != "applying"; ++i)
      usleep(10000);
    r = RunUpdater({root_.Sub("u1"), second}, {}, bounded);
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    int status = -1;
    waitpid(run, &status, 0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("another update is running on this installation"), std::string::npos)
        << r.err;
    EXPECT_EQ(status, 0);
  }
  // A missing apply-to directory is made with the owner of its parent, and so
  // is what the run puts in it.
  const std::string theirs = root_.Sub("theirs"), made = theirs + "/app";
  ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  EXPECT_EQ(RunUpdater({first_upd, made}).exit_code, 0);
  for (const std::string& path : {made, made + "/a"}) {
    struct stat st;
    EXPECT_TRUE(lstat(path.c_str(), &st) == 0 && st.st_uid == 65534u && st.st_gid == 65534u)
        << path;
  }
}

// The run's own files are never followed when they are links nor waited on
// when they are FIFOs; a run that fails leaves the installation as it was.
TEST_F(HostileTest, OwnFilesThatAreLinksOrFifos) {
  updater_fixture::MixedUpdate update(inst_, root_.Sub("upd"));  // beside the installation
  const struct {
    std::string make;    // shell commands in root_
    std::string status;  // "-": not read (a link or a FIFO)
    bool replace = false;
  } cases[] = {
      {"echo mine > app/updating", "failed: 42\n"},
      {"ln -s ../app2 app/updating", "failed: 42\n"},
      // A work directory is an interrupted run's: removed, its links not followed.
      {"mkdir app/updating && ln -s ../../app2/victim app/updating/update.manifest", "succeeded\n"},
      {"ln -s ../app.bak/victim upd/update.status", "-"},
      {"ln -s ../app2/victim upd/update.log", "succeeded\n"},
      {"ln app2/victim upd/update.log", "succeeded\n"},  // a second name: not cut
      {"mkfifo upd/update.status.tmp", ""},              // no status can be written
      {"mkfifo upd/update.status", "-"},
      {"rm upd/update.qex && mkfifo upd/update.qex", "failed: 6\n"},
      {"mkfifo upd/update.log", "succeeded\n"},
      {"rm app/precomplete && mkfifo app/precomplete", "failed: 6\n"},
      {"mkfifo app/product-version", "failed: 62\n"},
      // Read to accept a staged copy; the request would move the installation to app.bak.
      {"rm -r app.bak && mkdir app/updated && mkfifo upd/update.status", "-", true},
      // The request logs in the staged copy's "updates"; this copy is incomplete.
      {"rm -rf app.bak && mkdir -p app/updated/updating && ln -s ../../app2 app/updated/updates && "
       "echo applied > upd/update.status",
       "pending", true},
  };
  ASSERT_TRUE(updater_fixture::MixedUpdate(inst_, root_.path()).WriteArchive());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    ASSERT_TRUE(update.MakeInstallation());
    ASSERT_EQ(
        testing_util::RunCommand("cd '" + root_.path() +
                                 "' && rm -rf upd && mkdir upd && cp update.qex upd && " + c.make),
        0);
    const auto before = update.Installation(), outside = SnapshotTree(inst_ + "2"),
               outside_bak = SnapshotTree(inst_ + ".bak");
    auto r = RunUpdater(c.replace ? update.ReplaceArgs() : update.Args(), {},
                        {"/usr/bin/timeout", "-s", "KILL", "10"});
    const bool succeeded = c.status == "succeeded\n";
    EXPECT_EQ(r.exit_code, succeeded ? 0 : 1) << r.err;
    EXPECT_EQ(c.status == "-" ? "-" : update.Status(), c.status);
    EXPECT_EQ(
        testing_util::DiffSnapshots(succeeded ? update.Expected() : before, update.Installation()),
        "");
    EXPECT_TRUE(SnapshotTree(inst_ + "2") == outside &&
                SnapshotTree(inst_ + ".bak") == outside_bak);
  }
}

// Arguments that would delete or create what the run did not make are refused
// before anything is touched, the working directory included.
TEST_F(HostileTest, DestructiveArgumentsAreRefused) {
  WriteFile(root_.Sub("other/data/updated/f"), "unrelated");
  WriteFile(root_.Sub("other/data/keep"), "unrelated too");
  const std::string long_path = root_.Sub(std::string(1100, 'x'));
  const struct {
    std::vector<std::string> args;
    std::string err;
    std::string remove_first = "";  // a path removed before the run
  } cases[] = {
      {{"app/updates/0", "app", "-1"}, "holds the update"},
      {{upd_, inst_ + "/bin", "-1"}, "replaces only an earlier staged copy"},
      {update_.ReplaceArgs(), "which is taken: " + inst_ + ".bak"},
      {update_.ReplaceArgs(), "which is taken", inst_ + ".bak/victim"},
      {{upd_, "/updated", "0/replace"}, "file system root"},
      {{upd_, root_.Sub("other/data/updated"), "0/replace"}, "not a staged copy"},
      {{upd_, long_path}, "too long"},
      {{upd_, "x" + long_path}, "too long"},
      {{"--help", "x"}, "beginning with \"-\""},
      {{upd_, "-x"}, "beginning with \"-\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1].substr(0, 80));
    if (!c.remove_first.empty()) {
      ASSERT_EQ(unlink(c.remove_first.c_str()), 0);
      ASSERT_EQ(rmdir((inst_ + ".bak").c_str()), 0);
      WriteFile(inst_ + ".bak", "a file of the user's");
    }
    const auto before = SnapshotTree(root_.path());
    auto r = RunIn(c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(testing_util::DiffSnapshots(before, SnapshotTree(root_.path())), "");
  }
  // Help and version go to standard output; the exit code is 0.
  for (auto [option, text] : {std::pair{"--help", "Usage: updater update-dir apply-to-dir"},
                              std::pair{"-h", "Usage: updater update-dir apply-to-dir"},
                              std::pair{"--version", "updater "}, std::pair{"-V", "updater "}}) {
    EXPECT_EQ(RunIn({option}, " > out.txt").exit_code, 0);
    EXPECT_EQ(ReadFile(root_.Sub("out.txt")).find(text), 0u) << option;
  }
  // A sibling whose name extends the update directory's holds no update.
  ASSERT_TRUE(updater_fixture::MixedUpdate(inst_, root_.Sub("updated2/u"))
                  .WriteEntries({{"updatev3.manifest", "add \"a\"\n"}, {"a", "new"}}));
  EXPECT_EQ(RunUpdater({root_.Sub("updated2/u"), root_.Sub("updated"), "-1"}).exit_code, 0);
  EXPECT_EQ(ReadFile(root_.Sub("updated/a")), "new");
}

// A worker thread that cannot start (as nobody, limited to one process) still
// ends the run with a final status.
TEST_F(HostileTest, ThreadThatCannotStartFailsTheRun) {
  ASSERT_EQ(chmod(root_.path().c_str(), 0777), 0);
  const std::string upd = root_.Sub("nobody/upd"), inst = root_.Sub("nobody/app");
  for (const std::string& dir : {root_.Sub("nobody"), upd}) {
    ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  }
  int rv = testing_util::RunAsNobody([&] {
    return RunUpdater({upd, inst}, {"ASAN_OPTIONS=detect_leaks=0:exitcode=86"},
                      {"/usr/bin/prlimit", "--nproc=1:1", "--"})
        .exit_code;
  });
  if (rv == -1) GTEST_SKIP() << "cannot run as nobody (needs root)";
  EXPECT_EQ(rv, 1);
  EXPECT_EQ(ReadFile(upd + "/update.status"), "failed: 55\n");
  EXPECT_NE(ReadFile(upd + "/update.log").find("failed to start the update thread"),
            std::string::npos);
}

}  // namespace

// The run as a value: the command line read into it, and an update applied
// through it inside the test's own process.
#include "driver/run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "driver/command_line.h"
#include "driver/updater_main.h"
#include "fileops/beneath.h"
#include "testing/test_util.h"

namespace {

using testing_util::ReadFile;
using testing_util::WriteFile;

CommandLineResult Read(std::vector<std::string> args, Run* run) {
  args.insert(args.begin(), "updater");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return ReadCommandLine(static_cast<int>(args.size()), argv.data(), run);
}

class RunTest : public ::testing::Test {
 protected:
  RunTest() {
    WriteFile(inst_ + "/a", "old");
    WriteFile(upd_ + "/keep", "");
  }
  ~RunTest() override {
    // The run leaves both in the installation it applied to.
    EXPECT_EQ(0, chdir("/"));
  }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("app"), upd_ = root_.Sub("upd");
};

// What the command line `args` made of the run, in a few words; the
// directories are checked apart.
std::string Describe(const std::vector<std::string>& args, ::Run* run) {
  CommandLineResult result = Read(args, run);
  if (result != CommandLineResult::kRun) return "refused";
  std::string words = "pid " + std::to_string(run->waitPid);
  for (auto [set, word] : {std::pair<bool, const char*>{run->isStagedUpdate, "staged"},
                           {run->isReplaceRequest, "replace"},
                           {run->check, "check"},
                           {run->json, "json"},
                           {!run->callbackDir.empty(), run->callbackDir.c_str()}}) {
    if (set) words += std::string(" ") + word;
  }
  for (const std::string& arg : run->callbackArgv) words += " " + arg;
  return words;
}

// Each form of the command line and what the run holds after it.
TEST_F(RunTest, CommandLineFillsTheRun) {
  const struct {
    std::vector<std::string> args;
    std::string words;
  } cases[] = {
      {{upd_, inst_ + "/"}, "pid 0"},
      {{upd_, inst_, "42", "/tmp", "/bin/prog", "x"}, "pid 42 /tmp /bin/prog x"},
      {{upd_, inst_ + "/updated", "-1"}, "pid -1 staged"},
      {{upd_, inst_ + "/updated", "7/replace"}, "pid 7 replace"},
      {{"--check", "--json", upd_, inst_}, "pid 0 check json"},
      // A staged update may not replace the installation that holds the update.
      {{upd_, root_.path(), "-1"}, "refused"},
      {{"--check", upd_}, "refused"},
      {{"-x", inst_}, "refused"},
  };
  for (const auto& c : cases) {
    ::Run run;
    std::string args = testing::PrintToString(c.args);
    EXPECT_EQ(Describe(c.args, &run), c.words) << args;
    if (c.words == "refused") continue;
    EXPECT_EQ(run.updateDir, upd_) << args;
    EXPECT_TRUE(run.hasInstallDir) << args;
    EXPECT_EQ(run.installDir, inst_) << args;
  }
  // The apply-to directory of a check need not exist: the run makes it.
  ::Run run;
  EXPECT_EQ("pid 0 check", Describe({"--check", upd_, root_.Sub("missing/")}, &run));
  EXPECT_EQ(root_.Sub("missing"), run.applyToDir);
}

// An update applied in-process: the installation, the status and the outcome.
// No keys file is beside the test program: the update is unverified.
TEST_F(RunTest, AppliesAnUpdateWithoutTheProgram) {
  const struct {
    bool archive;
    std::string args, status, a;
  } cases[] = {
      {true, "", "succeeded\n", "new"},
      {false, "", "failed: 6\n", "old"},
      {true, "-1", "applied\n", "new"},
  };
  for (const auto& c : cases) {
    unlink((upd_ + "/update.qex").c_str());
    if (c.archive) {
      ASSERT_TRUE(archive_testing::WriteTestArchive(
          upd_ + "/update.qex", {{"updatev3.manifest", "add \"a\"\n"}, {"a", "new"}}));
    }
    std::string apply_to = c.args.empty() ? inst_ : inst_ + "/updated";
    ::Run run;
    ASSERT_EQ(Read(c.args.empty() ? std::vector<std::string>{upd_, apply_to}
                                  : std::vector<std::string>{upd_, apply_to, c.args},
                   &run),
              CommandLineResult::kRun);
    EXPECT_EQ(ApplyUpdate(run, nullptr), c.status == "failed: 6\n" ? 1 : 0) << c.status;
    EXPECT_EQ(ReadFile(upd_ + "/update.status"), c.status);
    EXPECT_STREQ(run.lastStatus, c.status.c_str());
    EXPECT_EQ(ReadFile(apply_to + "/a"), c.a) << c.status;
    EXPECT_TRUE(run.progress.quit_requested() || !c.archive);
    EXPECT_EQ(chdir("/"), 0);
    WriteFile(inst_ + "/a", "old");
  }
}

}  // namespace

// Signed updates end to end: real keys from the openssl tool, the built
// updater (through a link whose name puts "<program>.keys" and
// "<program>.ini" in a directory of the test's own), and the installation
// afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::DiffSnapshots;
using testing_util::ReadFile;
using testing_util::WriteFile;

class SignedUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* k : {"old", "new", "stranger"}) {
      ASSERT_TRUE(archive_testing::MakeKeyPair(root_.Sub(k)));
    }
    ASSERT_EQ(testing_util::RunCommand("mkdir -p " + root_.Sub("bin") + " && ln -s " +
                                       UPDATER_BINARY + " " + program_),
              0);
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_TRUE(update_.WriteArchive());
  }
  // Runs the update; expects the code (0: success), the log line of the check
  // and, after a refusal, the installation and the staged copy as they were.
  void RunAndCheck(int code, const std::string& log, bool staged = false) {
    const auto original = update_.Installation();
    const auto stage = testing_util::SnapshotTree(update_.StagedDir());
    if (!staged) {
      // The dry run predicts the refusal, changing nothing.
      const std::string report = root_.Sub("check.txt");
      auto check =
          updater_fixture::RunUpdater({"--check", upd_, inst_}, {},
                                      {"/bin/sh", "-c", "exec " + program_ + " \"$@\" >" + report});
      EXPECT_EQ(check.exit_code, code ? 1 : 0) << check.err;
      EXPECT_NE(ReadFile(report).find(code ? "would fail: " + std::to_string(code) + "\n"
                                           : "would succeed\n"),
                std::string::npos)
          << ReadFile(report);
      EXPECT_EQ(DiffSnapshots(original, update_.Installation()), "");
    }
    auto run = updater_fixture::RunUpdater(update_.Args(staged), {},
                                           {"/bin/sh", "-c", "exec " + program_ + " \"$@\""});
    EXPECT_EQ(run.exit_code, code ? 1 : 0);
    const std::string result = code ? "failed: " + std::to_string(code) + "\n" : "succeeded\n";
    EXPECT_EQ(update_.Status(), result);
    const std::string text = update_.Log(), end = code ? "VerifyUpdate: " + log + result
                                                       : result + "calling QuitProgressUI\n";
    EXPECT_NE(text.find("VerifyUpdate: " + log), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() > end.size() ? text.size() - end.size() : 0), end);
    if (code) {
      EXPECT_EQ(DiffSnapshots(original, update_.Installation()), "");
      EXPECT_EQ(DiffSnapshots(stage, testing_util::SnapshotTree(update_.StagedDir())), "");
    }
  }
  std::string Pub(const std::string& key) { return ReadFile(root_.Sub(key + ".pub")); }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("app"), upd_ = root_.Sub("updates"),
                    program_ = root_.Sub("bin/updater"), archive_ = upd_ + "/update.qex";
  updater_fixture::MixedUpdate update_{inst_, upd_};
};

// Each case: the archive signed by `signers`, then damaged (a byte flipped at
// `at`, counted from the end when negative; cut to `at` bytes; `at` bytes
// appended), the trusted keys ("-": no keys file, "/": a directory in its
// place), and the code and log line of the run.
TEST_F(SignedUpdateTest, OnlyWhatATrustedKeySignedIsApplied) {
  const std::string keys = program_ + ".keys",
                    forged =
                        "refusing " + archive_ + ": no signature verifies with a trusted key\n";
  const struct {
    std::vector<std::string> signers;
    std::string keys;
    char damage;  // 'f'lip, 'c'ut, 'a'ppend or ' '
    int at, code;
    std::string log;
  } cases[] = {
      {{"old"}, Pub("old"), ' ', 0, 0, "signature 1 verified with key 1 of " + keys + "\n"},
      {{"old", "new"}, Pub("stranger") + Pub("new"), ' ', 0, 0, "signature 2 verified with key 2"},
      {{}, "-", ' ', 0, 0, "no keys file " + keys + ", applying an unverified update\n"},
      {{}, Pub("old"), ' ', 0, 60, "refusing " + archive_ + ": it is not signed\n"},
      {{"stranger"}, Pub("old"), ' ', 0, 60, forged},
      {{"old"}, Pub("old"), 'f', 11, 60, forged},  // header
      {{"old"}, Pub("old"), 'f', 19, 60, "refusing " + archive_ + ": it is not signed\n"},
      {{"old"}, Pub("old"), 'f', 23, 60, forged},                   // algorithm
      {{"old"}, Pub("old"), 'f', 20 + 72 + 3, 60, forged},          // block count
      {{"old"}, Pub("old"), 'f', 40, 60, forged},                   // signature
      {{"old"}, Pub("old"), 'f', 20 + 72 + 4 + 8 + 1, 60, forged},  // product block
      {{"old"}, Pub("old"), 'f', 300000, 60, forged},               // entry
      {{"old"}, Pub("old"), 'f', -10, 60, forged},                  // index
      {{"old"},
       Pub("old"),
       'c',
       400000,
       60,
       "refusing " + archive_ + ": it is cut off or its signature area is damaged\n"},
      {{"old"}, Pub("old"), 'a', 1, 60, forged},
      {{"old"}, "no key here\n", ' ', 0, 61, "no usable public key in " + keys + "\n"},
      {{"old"}, "/", ' ', 0, 61, "cannot read the keys file " + keys + ", err: 21\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_TRUE(update_.WriteArchive());
    ASSERT_TRUE(c.signers.empty() || archive_testing::SignWith(archive_, root_.path(), c.signers));
    std::string bytes = ReadFile(archive_);
    size_t at = c.at < 0 ? bytes.size() + c.at : static_cast<size_t>(c.at);
    if (c.damage == 'f') bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    if (c.damage != ' ' && c.damage != 'f') bytes.resize(c.damage == 'c' ? at : bytes.size() + at);
    ASSERT_TRUE(archive_testing::WriteBytes(archive_, bytes));
    testing_util::RunCommand("rm -rf " + keys);
    if (c.keys == "/") {
      ASSERT_EQ(mkdir(keys.c_str(), 0755), 0);
    } else if (c.keys != "-") {
      WriteFile(keys, c.keys);
    }
    RunAndCheck(c.code, c.log);
    if (!c.code) {
      EXPECT_EQ(DiffSnapshots(update_.Expected(), update_.Installation()), "");
    }
  }
}

// With accepted channels in "<program>.ini" and the installed version in the
// installation, another channel and an older version are refused before the
// staged copy or the installation is touched.
TEST_F(SignedUpdateTest, ChannelAndDowngrade) {
  const std::string older = "refusing the version 1.0: older than the installed version ";
  const struct {
    std::string ini, installed;  // "" for none
    bool staged;
    int code;
    std::string log;
  } cases[] = {
      {"[Settings]\nAcceptedChannels=beta, esr\n", "", false, 22,
       "refusing the channel release: the accepted channels are beta, esr\n"},
      {"[Settings]\nAcceptedChannels=beta release\n", "0.9\n", false, 0, ""},
      {"", "1.0", false, 0, ""},
      {"", "1.0.1\n", false, 23, older + "1.0.1\n"},
      {"", "2.0\n", true, 23, older + "2.0\n"},
      {"", "1.0\n0.9\n", false, 62,
       "cannot read the installed version from " + inst_ + "/product-version, err: 0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini + c.installed);
    ASSERT_TRUE(update_.MakeInstallation());
    WriteFile(update_.StagedDir() + "/stale.txt", "from an earlier staging");
    if (!c.installed.empty()) WriteFile(inst_ + "/product-version", c.installed);
    WriteFile(program_ + ".ini", c.ini);
    RunAndCheck(c.code, c.log, c.staged);
    auto want = update_.Expected();
    if (!c.installed.empty()) want["product-version"] = "file 0644 " + c.installed;
    if (!c.code) {
      EXPECT_EQ(DiffSnapshots(want, update_.Installation()), "");
    }
  }
}

}  // namespace

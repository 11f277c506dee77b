// Signed updates end to end: real keys from the openssl tool, a copy of the
// built updater (so that "<program>.keys" and "<program>.ini" lie in a
// directory of the test's own), and the installation afterwards.
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
    for (const char* k : {"old", "new", "stranger"})
      ASSERT_TRUE(archive_testing::MakeKeyPair(root_.Sub(k)));
    ASSERT_EQ(testing_util::RunCommand("mkdir -p " + root_.Sub("bin") + " && cp " + UPDATER_BINARY +
                                       " " + program_),
              0);
    ASSERT_TRUE(update_.MakeInstallation());
    ASSERT_TRUE(update_.WriteArchive());
  }
  // Runs the update; expects the code (0: success), the log line of the check
  // and, after a refusal, the installation and the staged copy as they were.
  // `launch` starts the updater in a shell ("exec <program>" when empty). A
  // success leaves the update's result, with `installed` as the version record.
  void RunAndCheck(int code, const std::string& log, const std::string& installed,
                   bool staged = false, std::string launch = "") {
    if (launch.empty()) launch = "exec " + program_;
    const auto original = update_.Installation();
    const auto stage = testing_util::SnapshotTree(update_.StagedDir());
    if (!staged) {
      // The dry run predicts the refusal, changing nothing.
      const std::string report = root_.Sub("check.txt");
      auto check = updater_fixture::RunUpdater({"--check", upd_, inst_}, {},
                                               {"/bin/sh", "-c", launch + " \"$@\" >" + report});
      EXPECT_EQ(check.exit_code, code ? 1 : 0) << check.err;
      const std::string want =
          code ? "would fail: " + std::to_string(code) + "\n" : "would succeed\n";
      EXPECT_NE(ReadFile(report).find(want), std::string::npos) << ReadFile(report);
      EXPECT_EQ(DiffSnapshots(original, update_.Installation()), "");
    }
    auto run = updater_fixture::RunUpdater(update_.Args(staged), {},
                                           {"/bin/sh", "-c", launch + " \"$@\""});
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
    } else {
      auto want = update_.Expected();
      if (!installed.empty()) want["product-version"] = "file 0644 " + installed;
      EXPECT_EQ(DiffSnapshots(want, update_.Target(staged)), "");
    }
  }
  std::string Pub(const std::string& key) { return ReadFile(root_.Sub(key + ".pub")); }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("app"), upd_ = root_.Sub("updates"),
                    program_ = root_.Sub("bin/updater"), archive_ = upd_ + "/update.qex",
                    refusing_ = "refusing " + archive_ + ": ",
                    unsigned_ = refusing_ + "it is not signed\n";
  updater_fixture::MixedUpdate update_{inst_, upd_};
};

// Each case: the archive signed by `signers`, then damaged (a byte flipped at
// `at`, counted from the end when negative; cut to `at` bytes; `at` bytes
// appended), the shell command that puts the trusted keys in place (in the
// directory of the key pairs), and the code and log line of the run. The
// installation records its version, as one whose updates must be signed has to.
TEST_F(SignedUpdateTest, OnlyWhatATrustedKeySignedIsApplied) {
  const std::string keys = program_ + ".keys", k = " bin/updater.keys", old = "cp old.pub" + k,
                    two = "cat stranger.pub new.pub >" + k, writable = old + " && chmod 666" + k,
                    forged = refusing_ + "no signature verifies with a trusted key\n",
                    cut = refusing_ + "it is cut off or its signature area is damaged\n",
                    distrusted = "refusing the keys file " + keys + ": it is ",
                    owner = "owned by neither root nor the user running the updater\n";
  const struct {
    std::vector<std::string> signers;
    std::string keys;
    char damage;  // 'f'lip, 'c'ut, 'a'ppend or ' '
    int at, code;
    std::string log;
  } cases[] = {
      {{"old"}, old, ' ', 0, 0, "signature 1 verified with key 1 of " + keys + "\n"},
      {{"old", "new"}, two, ' ', 0, 0, "signature 2 verified with key 2"},
      {{}, "", ' ', 0, 0, "no keys file " + keys + ", applying an unverified update\n"},
      {{}, old, ' ', 0, 60, unsigned_},
      {{"stranger"}, old, ' ', 0, 60, forged},
      {{"old"}, old, 'f', 11, 60, forged},  // header
      {{"old"}, old, 'f', 19, 60, unsigned_},
      {{"old"}, old, 'f', 23, 60, forged},                   // algorithm
      {{"old"}, old, 'f', 20 + 72 + 3, 60, forged},          // block count
      {{"old"}, old, 'f', 40, 60, forged},                   // signature
      {{"old"}, old, 'f', 20 + 72 + 4 + 8 + 1, 60, forged},  // product block
      {{"old"}, old, 'f', 300000, 60, forged},               // entry
      {{"old"}, old, 'f', -10, 60, forged},                  // index
      {{"old"}, old, 'c', 400000, 60, cut},
      {{"old"}, old, 'a', 1, 60, forged},
      {{"old"}, "echo no key here >" + k, ' ', 0, 61, "no usable public key in " + keys + "\n"},
      {{"old"}, "mkdir" + k, ' ', 0, 61, "cannot read the keys file " + keys + ", err: 21\n"},
      {{"old"}, "ln -s ../old.pub" + k, ' ', 0, 61, distrusted + "a symbolic link\n"},
      {{"old"}, writable, ' ', 0, 61, distrusted + "writable by group or others\n"},
      {{"old"}, old + " && chown 65534" + k, ' ', 0, 61, distrusted + owner},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    ASSERT_TRUE(update_.MakeInstallation());
    WriteFile(inst_ + "/product-version", "0.5\n");
    ASSERT_TRUE(update_.WriteArchive());
    ASSERT_TRUE(c.signers.empty() || archive_testing::SignWith(archive_, root_.path(), c.signers));
    std::string bytes = ReadFile(archive_);
    size_t at = c.at < 0 ? bytes.size() + c.at : static_cast<size_t>(c.at);
    if (c.damage == 'f') bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    if (c.damage != ' ' && c.damage != 'f') bytes.resize(c.damage == 'c' ? at : bytes.size() + at);
    ASSERT_TRUE(archive_testing::WriteBytes(archive_, bytes));
    const std::string in_root = "cd " + root_.path() + " && umask 022 && rm -rf" + k + "; ";
    ASSERT_EQ(testing_util::RunCommand(in_root + c.keys), 0);
    RunAndCheck(c.code, c.log, "0.5\n");
  }
}

// The keys beside the executable count, whatever name it is started by:
// through a link elsewhere, or a relative one from another directory.
TEST_F(SignedUpdateTest, KeysAreFoundThroughTheExecutable) {
  WriteFile(program_ + ".keys", Pub("old"));
  WriteFile(inst_ + "/product-version", "0.5\n");
  ASSERT_EQ(mkdir(root_.Sub("elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(symlink(program_.c_str(), root_.Sub("elsewhere/updater").c_str()), 0);
  for (const std::string& launch : {"exec " + root_.Sub("elsewhere/updater"),
                                    "cd " + root_.Sub("elsewhere") + " && exec ./updater"}) {
    SCOPED_TRACE(launch);
    RunAndCheck(60, unsigned_, "", false, launch);
  }
}

// With accepted channels in "<program>.ini" and the installed version in the
// installation, another channel and an older version are refused before the
// staged copy or the installation is touched; so are accepted channels in a
// settings file that others may write, and a signed update where the record
// of the installed version is missing.
TEST_F(SignedUpdateTest, ChannelAndDowngrade) {
  const std::string older = "refusing the version 1.0: older than the installed version ",
                    settings = "the settings file " + program_ +
                               ".ini: it is writable by group or others\n";
  const struct {
    std::string ini, installed;  // "" for none
    bool staged;
    int code;
    std::string log;
    mode_t ini_mode = 0644;
    bool signed_by_old = false;  // and its key trusted
  } cases[] = {
      {"[Settings]\nAcceptedChannels=beta, esr\n", "", false, 22,
       "refusing the channel release: the accepted channels are beta, esr\n"},
      {"[Settings]\nAcceptedChannels=beta release\n", "0.9\n", false, 0, ""},
      {"", "1.0", false, 0, ""},
      {"", "1.0.1\n", false, 23, older + "1.0.1\n"},
      {"", "2.0\n", true, 23, older + "2.0\n"},
      {"", "1.0\n0.9\n", false, 62,
       "cannot read the installed version from " + inst_ + "/product-version, err: 0\n"},
      {"[Settings]\nAcceptedChannels=release\n", "", false, 22, "refusing " + settings, 0666},
      {"[Strings]\nTitle=T\n", "", false, 0, "ignoring " + settings, 0666},
      {"", "", false, 62,
       "the installed version record is missing: " + inst_ + "/product-version\n", 0644, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini + c.installed);
    ASSERT_TRUE(update_.MakeInstallation());
    WriteFile(update_.StagedDir() + "/stale.txt", "from an earlier staging");
    if (!c.installed.empty()) WriteFile(inst_ + "/product-version", c.installed);
    WriteFile(program_ + ".ini", c.ini, c.ini_mode);
    ASSERT_TRUE(update_.WriteArchive());
    testing_util::RunCommand("rm -f " + program_ + ".keys");
    if (c.signed_by_old) {
      ASSERT_TRUE(archive_testing::SignWith(archive_, root_.path(), {"old"}));
      WriteFile(program_ + ".keys", Pub("old"));
    }
    RunAndCheck(c.code, c.log, c.installed, c.staged);
  }
}

}  // namespace

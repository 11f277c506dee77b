// Trust per application end to end: a packaged updater whose configuration
// directory lies in the build tree, with two applications of different keys,
// and an embedded updater (a copy with its files beside it). Each case runs
// the check, whose JSON must predict the run, then the run itself.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "archive/archive_test_util.h"
#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using testing_util::DiffSnapshots;
using testing_util::ReadFile;
using testing_util::RunCommand;
using testing_util::WriteFile;

const std::string kSystem = PACKAGED_CONFIG_DIR;
const std::string kA = "org.example.a", kB = "org.example.b";

class AppTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* k : {"a", "b"}) ASSERT_TRUE(archive_testing::MakeKeyPair(root_.Sub(k)));
    ASSERT_EQ(
        RunCommand("mkdir " + root_.Sub("bin") + " && cp " + UPDATER_BINARY + " " + embedded_), 0);
  }
  void TearDown() override { RunCommand("rm -rf " + kSystem); }

  // Runs the check (JSON) and then the update with `program`; both must give
  // `code`, the log must hold `log`, and a refusal changes nothing.
  void RunAndCheck(const std::string& program, int code, const std::string& log, bool verified) {
    const auto original = update_.Installation();
    const std::string report = root_.Sub("check.json");
    auto check =
        updater_fixture::RunUpdater({"--check", "--json", upd_, inst_}, {},
                                    {"/bin/sh", "-c", "exec " + program + " \"$@\" >" + report});
    EXPECT_EQ(check.exit_code, code ? 1 : 0) << check.err;
    const nlohmann::json json = nlohmann::json::parse(ReadFile(report), nullptr, false);
    ASSERT_TRUE(json.is_object()) << ReadFile(report);
    EXPECT_EQ(json["result"], code);
    EXPECT_EQ(json["would_succeed"], code == 0);
    EXPECT_EQ(json["signature"]["verified"], verified);
    EXPECT_EQ(json["app_id"], app_id_.empty() ? nlohmann::json() : nlohmann::json(app_id_));
    EXPECT_EQ(json["channel"], "release");
    EXPECT_EQ(DiffSnapshots(original, update_.Installation()), "");

    auto run = updater_fixture::RunUpdater(update_.Args(), {},
                                           {"/bin/sh", "-c", "exec " + program + " \"$@\""});
    EXPECT_EQ(run.exit_code, code ? 1 : 0);
    EXPECT_EQ(update_.Status(), code ? "failed: " + std::to_string(code) + "\n" : "succeeded\n");
    EXPECT_NE(update_.Log().find("VerifyUpdate: " + log), std::string::npos) << update_.Log();
    if (code) {
      EXPECT_EQ(DiffSnapshots(original, update_.Installation()), "");
    }
    settings_ = json["settings_file"].is_string() ? json["settings_file"].get<std::string>() : "";
  }

  testing_util::ScopedTempDir root_;
  const std::string inst_ = root_.Sub("app"), upd_ = root_.Sub("updates"),
                    embedded_ = root_.Sub("bin/updater"), archive_ = upd_ + "/update.qex";
  updater_fixture::MixedUpdate update_{inst_, upd_};
  std::string app_id_, settings_;
};

// Each case: the application the archive names, who signs it, the version
// record of the installation, a shell command run in the configuration
// directory (packaged) or the program's directory (embedded), and the
// outcome.
TEST_F(AppTrustTest, EachApplicationTrustsOnlyItsOwnKeys) {
  const std::string packaged = PACKAGED_UPDATER, sys = kSystem + "/",
                    b_keys = sys + kB + "/updater.keys", recB = "0.5\n" + kB + "\n",
                    recA = "0.5\n" + kA + "\n",
                    not_signed = "refusing " + archive_ + ": it is not signed\n";
  const struct {
    bool packaged;
    std::string app_id, signer, record, tweak;
    int code;
    std::string log;
  } cases[] = {
      {true, kB, "b", recB, "", 0, "signature 1 verified with key 1 of " + b_keys + "\n"},
      {true, kA, "a", recA, "", 0, "signature 1 verified with key 1 of " + sys + kA},
      {true, kA, "a", recB, "", 63,
       "refusing the application " + kA + ": the installation is " + kB},
      {true, kB, "b", "0.5\n", "", 63,
       "refusing the application " + kB + ": the installation is (none)"},
      {true, kB, "", recB, "", 60, not_signed},
      {true, kB, "a", recB, "", 60, "refusing " + archive_ + ": no signature verifies"},
      {true, "", "b", recB, "", 60, "refusing the archive: it names no application\n"},
      {true, "org.example.c", "a", "0.5\norg.example.c\n", "", 61,
       "no trusted configuration for org.example.c: " + sys + "org.example.c: it is missing\n"},
      {true, kB, "b", recB, "chmod 664 " + kB + "/updater.keys", 61,
       "refusing the keys file " + b_keys + ": it is writable by group or others\n"},
      {true, kB, "b", recB, "rm " + kB + "/updater.keys && ln -s ../" + kA + "/updater.keys " + kB,
       61, "refusing the keys file " + b_keys + ": it is a symbolic link\n"},
      {true, kB, "b", recB, "chown 65534 " + kB, 61,
       "no trusted configuration for " + kB + ": " + sys + kB + ": it is not owned by root\n"},
      {true, kA, "a", recA, "chmod 666 " + kA + "/updater.ini", 61,
       "refusing the settings file " + sys + kA + "/updater.ini: it is writable by group"},
      {false, "", "", "0.5\n", "", 0,
       "no keys file " + embedded_ + ".keys, applying an unverified"},
      {false, kB, "", recB, "", 0, "no keys file"},
      {false, "", "", "0.5\n", "printf '[Settings]\\nRequireSignature=1\\n' >updater.ini", 60,
       "refusing " + archive_ + ": signatures are required and there is no keys file"},
      {false, kA, "", recB, "", 63,
       "refusing the application " + kA + ": the installation is " + kB},
      {false, "", "", recB, "", 63, "refusing the application (none): the installation is " + kB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    // The configuration of both applications, as a package's installer and
    // their administrator leave it; A's settings name its window title.
    ASSERT_EQ(RunCommand("rm -rf " + kSystem + " " + embedded_ + ".* && umask 022 && mkdir -p " +
                         kSystem + "/" + kA + " " + kSystem + "/" + kB),
              0);
    WriteFile(kSystem + "/" + kA + "/updater.keys", ReadFile(root_.Sub("a.pub")));
    WriteFile(kSystem + "/" + kA + "/updater.ini", "[Strings]\nTitle=A\nInfo=a\n");
    WriteFile(kSystem + "/" + kB + "/updater.keys", ReadFile(root_.Sub("b.pub")));
    ASSERT_TRUE(update_.MakeInstallation());
    WriteFile(inst_ + "/product-version", c.record);
    update_.set_app_id(app_id_ = c.app_id);
    ASSERT_TRUE(update_.WriteArchive());
    ASSERT_TRUE(c.signer.empty() || archive_testing::SignWith(archive_, root_.path(), {c.signer}));
    const std::string dir = c.packaged ? kSystem : root_.Sub("bin");
    ASSERT_EQ(RunCommand("cd " + dir + " && umask 022 && " + (c.tweak.empty() ? ":" : c.tweak)), 0);
    const bool verified = !c.signer.empty() && c.code != 60 && c.code != 61;
    RunAndCheck(c.packaged ? packaged : embedded_, c.code, c.log, verified);
    // The window's strings come from the trusted settings of the application.
    const std::string own = c.packaged ? (c.app_id == kA && c.code != 61 ? sys + kA : "")
                                       : (c.tweak.empty() ? "" : root_.Sub("bin"));
    EXPECT_EQ(settings_, own.empty() ? "" : own + "/updater.ini");
  }
}

// With --json, an argument error is reported as JSON too.
TEST_F(AppTrustTest, CheckReportsArgumentErrorsAsJson) {
  const std::string report = root_.Sub("check.json");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--check", "--json", upd_},
        std::vector<std::string>{"--check", "--json", root_.Sub("missing"), inst_}}) {
    auto check =
        updater_fixture::RunUpdater(args, {}, {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + report});
    EXPECT_EQ(check.exit_code, 1);
    const nlohmann::json json = nlohmann::json::parse(ReadFile(report), nullptr, false);
    ASSERT_TRUE(json.is_object()) << ReadFile(report);
    EXPECT_EQ(json["would_succeed"], false);
    EXPECT_EQ(json["error"], check.err);
  }
}

}  // namespace

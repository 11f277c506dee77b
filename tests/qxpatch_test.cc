// Runs the built qxpatch program on real files.
#include <gtest/gtest.h>

#include <string>

#include "patch/patch_test_util.h"
#include "testing/test_util.h"

namespace {

using testing_util::Exists;
using testing_util::ModeOf;
using testing_util::ReadFile;
using testing_util::RunCommand;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

class QxpatchTest : public ::testing::Test {
 protected:
  // Exit status; stderr goes to dir/err.
  int Run(const std::string& args) {
    return RunCommand(std::string(QXPATCH_PATH) + " " + args + " 2>" + dir_.Sub("err") + " >" +
                      dir_.Sub("stdout"));
  }
  std::string Err() { return ReadFile(dir_.Sub("err")); }
  std::string S(const char* name) { return "'" + dir_.Sub(name) + "'"; }

  ScopedTempDir dir_;
};

TEST_F(QxpatchTest, HelpAndUsage) {
  EXPECT_EQ(Run("--help"), 0);
  EXPECT_EQ(ReadFile(dir_.Sub("stdout")).rfind("Usage: qxpatch SOURCE PATCH OUTPUT\n", 0), 0u);
  EXPECT_EQ(Run("a b"), 1);
  EXPECT_NE(Err().find("Usage:"), std::string::npos);
  EXPECT_EQ(Run("--bogus a b c"), 1);
  EXPECT_NE(Err().find("unknown option --bogus"), std::string::npos);
}

TEST_F(QxpatchTest, AppliesAndKeepsSourceMode) {
  const std::string source = testing_util::RandomBytes(4000, 3);
  const std::string target = source.substr(0, 3000) + "appended tail";
  WriteFile(dir_.Sub("src"), source, 0751);
  WriteFile(dir_.Sub("p"), patch_testing::MakePatchFor(source, target).Serialize());
  ASSERT_EQ(Run(S("src") + " " + S("p") + " " + S("out")), 0) << Err();
  EXPECT_TRUE(ReadFile(dir_.Sub("out")) == target);
  EXPECT_EQ(ModeOf(dir_.Sub("out")), 0751u);
  EXPECT_EQ(Err(), "");
  // In place: the source is read whole before the output is created.
  ASSERT_EQ(Run(S("src") + " " + S("p") + " " + S("src")), 0) << Err();
  EXPECT_TRUE(ReadFile(dir_.Sub("src")) == target);
}

TEST_F(QxpatchTest, RefusesWithoutWritingOutput) {
  WriteFile(dir_.Sub("src"), "original");
  WriteFile(dir_.Sub("p"), patch_testing::MakePatchFor("originaL", "new").Serialize());
  EXPECT_EQ(Run(S("src") + " " + S("p") + " " + S("out")), 1);
  EXPECT_NE(Err().find("has CRC 0x"), std::string::npos) << Err();
  EXPECT_FALSE(Exists(dir_.Sub("out")));

  WriteFile(dir_.Sub("p"), patch_testing::MakePatchFor("longer source", "new").Serialize());
  EXPECT_EQ(Run(S("src") + " " + S("p") + " " + S("out")), 1);
  EXPECT_NE(Err().find("is 8 bytes, the patch expects 13"), std::string::npos) << Err();

  WriteFile(dir_.Sub("p"), "QXPATCH2" + std::string(24, '\0') + std::string(12, '\0'));
  EXPECT_EQ(Run(S("src") + " " + S("p") + " " + S("out")), 1);
  EXPECT_NE(Err().find("not a valid patch (corrupt patch)"), std::string::npos) << Err();

  const std::string good = patch_testing::MakePatchFor("original", "new").Serialize();
  WriteFile(dir_.Sub("p"), good);
  EXPECT_EQ(Run(S("src") + " " + S("p") + " " + S("p")), 1);
  EXPECT_EQ(ReadFile(dir_.Sub("p")), good);
  EXPECT_FALSE(Exists(dir_.Sub("out")));
}

TEST_F(QxpatchTest, CorruptTripleRemovesPartialOutput) {
  // The second triple copies past the extra block after the first wrote bytes.
  patch_testing::PatchParts p =
      patch_testing::MakePatch("original", {{8, 0, 0}, {0, 5, 0}}, std::string(8, '\0'), "ab");
  WriteFile(dir_.Sub("src"), "original");
  WriteFile(dir_.Sub("p"), p.Serialize());
  EXPECT_EQ(Run(S("src") + " " + S("p") + " " + S("out")), 1);
  EXPECT_NE(Err().find("failed (corrupt patch)"), std::string::npos) << Err();
  EXPECT_FALSE(Exists(dir_.Sub("out")));
}

}  // namespace

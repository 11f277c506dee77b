// Runs the built qxpatch program on real files.
#include <gtest/gtest.h>

#include <string>

#include "patch/patch_test_util.h"
#include "testing/test_util.h"

namespace {

using patch_testing::MakePatchFor;
using testing_util::Exists;
using testing_util::ReadFile;
using testing_util::WriteFile;

class QxpatchTest : public ::testing::Test {
 protected:
  // Exit status of qxpatch run on files of the temporary directory.
  int Run(const std::string& args) {
    return testing_util::RunCommand("cd '" + dir_.path() + "' && " QXPATCH_PATH " " + args +
                                    " 2>stderr >stdout");
  }
  std::string Err() { return ReadFile(dir_.Sub("stderr")); }

  testing_util::ScopedTempDir dir_;
};

TEST_F(QxpatchTest, AppliesAndKeepsSourceMode) {
  const std::string source = testing_util::RandomBytes(4000, 3);
  const std::string target = source.substr(0, 3000) + "appended tail";
  WriteFile(dir_.Sub("src"), source, 0751);
  WriteFile(dir_.Sub("p"), MakePatchFor(source, target).Serialize());
  ASSERT_EQ(Run("src p new"), 0) << Err();
  EXPECT_TRUE(ReadFile(dir_.Sub("new")) == target);
  EXPECT_EQ(testing_util::ModeOf(dir_.Sub("new")), 0751u);
  EXPECT_EQ(Err(), "");
  // In place: the source is read whole before the output is created.
  ASSERT_EQ(Run("src p src"), 0) << Err();
  EXPECT_TRUE(ReadFile(dir_.Sub("src")) == target);
  EXPECT_EQ(Run("--help"), 0);
  EXPECT_EQ(ReadFile(dir_.Sub("stdout")).rfind("Usage: qxpatch SOURCE PATCH OUTPUT\n", 0), 0u);
}

TEST_F(QxpatchTest, RefusesWithoutLeavingOutput) {
  WriteFile(dir_.Sub("src"), "original");
  const std::string good = MakePatchFor("original", "new").Serialize();
  // The triple's seek leaves the source: refused before anything is written.
  const std::string corrupt =
      patch_testing::MakePatch("original", {{8, 2, 9}}, std::string(8, '\0'), "ab").Serialize();
  const struct {
    std::string patch, args, err;
  } cases[] = {
      {MakePatchFor("originaL", "new").Serialize(), "src p out", "has CRC 0x"},
      {MakePatchFor("longer source", "new").Serialize(), "src p out",
       "is 8 bytes, the patch expects 13"},
      {"QXPATCH2" + std::string(36, '\0'), "src p out", "not a valid patch (corrupt patch)"},
      {corrupt, "src p out", "not a valid patch (corrupt patch)"},
      {corrupt, "src p src", "not a valid patch (corrupt patch)"},  // the source stays
      {good, "src p p", ""},
      {good, "a b", "qxpatch: expected three arguments, got 2"},
      {good, "--bogus a b c", "unknown option --bogus"},
  };
  for (const auto& c : cases) {
    WriteFile(dir_.Sub("p"), c.patch);
    EXPECT_EQ(Run(c.args), 1) << c.args;
    EXPECT_NE(Err().find(c.err), std::string::npos) << Err();
    EXPECT_FALSE(Exists(dir_.Sub("out")));
    EXPECT_TRUE(ReadFile(dir_.Sub("p")) == c.patch);
    EXPECT_EQ(ReadFile(dir_.Sub("src")), "original");
    // src, p, stdout and stderr: no temporary file left either.
    EXPECT_EQ(testing_util::SnapshotTree(dir_.path()).size(), 4u);
  }
}

}  // namespace

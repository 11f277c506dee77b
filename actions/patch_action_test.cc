#include "actions/patch_action.h"

#include <gtest/gtest.h>

#include "actions/actions_test_util.h"
#include "patch/crc32.h"
#include "patch/patch_test_util.h"

namespace actions_test {
namespace {

using patch_testing::MakePatchFor;

using PatchActionTest = WorkDirTest;

// A patch the header check refuses (patch_test has every kind), or that
// does not fit the installed file, fails the run and leaves the installation
// as it was, byte for byte, once the list is gone; so does a failure after a
// successful patch, or of a later prepare.
TEST_F(PatchActionTest, CorruptPatchesLeaveInstallationUnchanged) {
  const std::string source = testing_util::RandomBytes(4096, 11);
  const std::string valid = MakePatchFor(source, source + "more").Serialize();
  // Same size, other bytes: only the CRC can tell.
  const std::string other_source = std::string(4096, 'z');
  char crc[200];
  snprintf(crc, sizeof(crc),
           "LoadSourceFile: destination file crc 0x%08x does not match expected crc 0x%08x: "
           "dir/target",
           crc32_bzip2(source.data(), source.size()),
           crc32_bzip2(other_source.data(), other_source.size()));

  struct Case {
    const char* what;
    std::string patch;
    int code;
    std::string line = "";  // logged after "PREPARE PATCH", when given
    const char* then = "";  // a line after the patch
  } cases[] = {
      {"longer", valid + "x", kCorruptPatch},
      {"larger", MakePatchFor(source.substr(1), "x").Serialize(), kUnexpectedType,
       "LoadSourceFile: destination file size 4096 does not match expected size 4095: dir/target"},
      {"crc", MakePatchFor(other_source, "x").Serialize(), kCrcError, crc},
      {"later add", valid, kReadError, "", "add \"absent\""},
      {"later patch", valid, kReadError, "", "patch \"absent\" \"other\""},
  };
  ASSERT_LE(0, WorkDir());  // the run's, for the temporary patch files
  WriteFile(Path("dir/target"), source, 0755);
  WriteFile(Path("other"), "untouched");
  const Tree before = Snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OpenArchive({{"p", c.patch}});
    ClearLog();
    {
      ActionList list;
      list.SetWorkDir(WorkDir());
      ASSERT_EQ(0, Parse(std::string("patch \"p\" \"dir/target\"\n") + c.then, &list));
      EXPECT_EQ(c.code, RunPhases(&list));
    }
    EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
    if (c.line.empty()) continue;
    // Refused while preparing, before anything changes.
    EXPECT_EQ("PREPARE PATCH dir/target\n" + c.line + "\n", Log());
  }
}

}  // namespace
}  // namespace actions_test

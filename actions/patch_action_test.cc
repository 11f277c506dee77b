#include "actions/patch_action.h"

#include <gtest/gtest.h>

#include "actions/actions_test_util.h"
#include "patch/crc32.h"
#include "patch/patch_test_util.h"

namespace actions_test {
namespace {

using patch_testing::MakePatch;
using patch_testing::MakePatchFor;
using patch_testing::PatchParts;

using PatchActionTest = WorkDirTest;

// Every kind of corrupt patch fails the run and leaves the installation as it
// was, byte for byte, once the list is gone; so does a failure after a
// successful patch, or of a later prepare.
TEST_F(PatchActionTest, CorruptPatchesLeaveInstallationUnchanged) {
  const std::string source = testing_util::RandomBytes(4096, 11);
  const std::string valid = MakePatchFor(source, source + "more").Serialize();
  auto triples = [&](std::vector<ControlTriple> triples, size_t diff, size_t extra) {
    return MakePatch(source, triples, std::string(diff, '\1'), std::string(extra, 'e')).Serialize();
  };
  PatchParts ragged = MakePatch(source, {{1, 0, 0}}, "d", "");
  ragged.control.resize(13);
  ragged.header.control_length = 13;
  std::string wrong_tag = valid;
  wrong_tag[7] = '2';
  // Same size, other bytes: only the CRC can tell.
  const std::string other_source = std::string(4096, 'z');
  const std::string size =
      "LoadSourceFile: destination file size 4096 does not match expected size ";
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
      {"header", valid.substr(0, 31), kReadError},
      {"tag", wrong_tag, kCorruptPatch},
      {"longer", valid + "x", kCorruptPatch},
      {"shorter", valid.substr(0, valid.size() - 1), kCorruptPatch},
      {"no triple", MakePatch(source, {}, "d", "").Serialize(), kCorruptPatch},
      {"ragged", ragged.Serialize(), kCorruptPatch},
      {"add > source", triples({{100, 0, 0}, {4000, 0, 0}}, 5000, 0), kCorruptPatch},
      {"add > diff", triples({{100, 0, 0}, {200, 0, 0}}, 250, 0), kCorruptPatch},
      {"copy > extra", triples({{100, 10, 0}, {0, 11, 0}}, 100, 20), kCorruptPatch},
      {"seek > end", triples({{100, 0, 3996}, {0, 0, 1}}, 100, 0), kCorruptPatch},
      {"seek < 0", triples({{100, 0, -50}, {0, 0, -51}}, 100, 0), kCorruptPatch},
      {"larger", MakePatchFor(source.substr(1), "x").Serialize(), kUnexpectedType,
       size + "4095: dir/target"},
      {"smaller", MakePatchFor(source + "!", "x").Serialize(), kUnexpectedType,
       size + "4097: dir/target"},
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

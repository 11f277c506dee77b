#include "actions/add_action.h"

#include <gtest/gtest.h>

#include "actions/actions_test_util.h"
#include "patch/patch_test_util.h"

namespace actions_test {
namespace {

using AddActionTest = WorkDirTest;

// A later action that fails may restore the add's backup itself (it cannot
// tell whose backup it is): the add must then not delete the old file. The
// directories the add created go, unless something else is in them.
TEST_F(AddActionTest, RollbackRemovesOnlyWhatItCreated) {
  WriteFile(Path("f"), "old", 0600);
  WriteFile(Path("top/keep"), "k");
  OpenArchive({{"f", "new", 0644}, {"top/d/e/f", "new", 0644}, {"top/g/h", "new", 0644}});
  Tree before = Snapshot();
  ActionList list;
  ASSERT_EQ(0, Parse("add \"f\"\nadd \"top/d/e/f\"\nadd \"top/g/h\"\n", &list));
  ASSERT_EQ(0, list.PrepareAll());
  ASSERT_EQ(0, list.ExecuteAll());
  EXPECT_EQ("new", ReadFile(Path("top/d/e/f")));
  ASSERT_EQ(0, backup_restore(AT_FDCWD, "f"));
  WriteFile(Path("top/g/stranger"), "s");
  list.FinishAll(4);
  before["top/g"] = "dir 0755", before["top/g/stranger"] = "file 0644 s";
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
}

// add-if, add-if-not and patch-if: the condition is tested once, in Prepare,
// following links; a skipped action does nothing and logs nothing.
TEST_F(AddActionTest, ConditionsAreTestedOnceInPrepare) {
  OpenArchive({{"t", "new"}, {"p", patch_testing::MakePatchFor("old", "new").Serialize()}});
  const char* tests[] = {"present", "missing", "dir", "dangling"};
  const char* lines[] = {"add-if \"%s\" \"t\"", "add-if-not \"%s\" \"t\"",
                         "patch-if \"%s\" \"p\" \"t\""};
  for (const char* line : lines) {
    for (int t = 0; t < 4; ++t) {
      char text[100];
      snprintf(text, sizeof(text), line, tests[t]);
      // Present: the file and the directory; absent: the dangling link.
      bool runs = (t % 2 == 0) != (strstr(line, "-not") != nullptr);
      ResetTree();
      WriteFile(Path("present"), "p");
      WriteFile(Path("t"), "old");
      ASSERT_EQ(0, mkdir("dir", 0755));
      ASSERT_EQ(0, symlink("nowhere", "dangling"));
      ActionList list;
      list.SetWorkDir(WorkDir());
      ASSERT_EQ(0, Parse(text, &list));
      ASSERT_EQ(0, list.PrepareAll());
      // Whatever happens to the test files later does not count.
      ASSERT_EQ(0, rename("present", "missing"));
      ASSERT_EQ(0, rename("dir", "nowhere"));
      ASSERT_EQ(0, list.ExecuteAll());
      list.FinishAll(0);
      EXPECT_EQ(runs ? "new" : "old", ReadFile(Path("t"))) << text;
      EXPECT_EQ(runs && line[0] == 'p' ? 1 : 0, context_.next_patch_index) << text;
      std::string what = line[0] == 'p' ? "PATCH t\n" : "ADD t\n";
      EXPECT_EQ(runs ? "PREPARE " + what + "EXECUTE " + what + "FINISH " + what : "", Log())
          << text;
    }
  }
}

}  // namespace
}  // namespace actions_test

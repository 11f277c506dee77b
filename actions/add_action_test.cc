#include "actions/add_action.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "actions/actions_test_util.h"
#include "actions/remove_action.h"
#include "fileops/fileops.h"

namespace actions_test {
namespace {

using testing_util::DiffSnapshots;
using testing_util::Exists;
using testing_util::ModeOf;
using testing_util::ReadFile;
using testing_util::WriteFile;

class AddActionTest : public WorkDirTest {
 protected:
  void SetUp() override { umask(022); }
};

TEST_F(AddActionTest, ReplacesAFileThroughItsBackup) {
  WriteFile(Path("f"), "old", 0600);
  OpenArchive({{"f", {"new", 0755}}});
  auto before = Snapshot();
  auto undone = Parsed<AddAction>("\"f\"");
  ASSERT_EQ(0, undone->Execute());
  undone->Finish(7);
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
  ClearLog();

  auto add = Parsed<AddAction>("\"f\"");
  ASSERT_TRUE(add);
  EXPECT_EQ(0, add->Prepare());
  EXPECT_EQ(0, add->Execute());
  EXPECT_TRUE(add->added);
  EXPECT_EQ("old", ReadFile(Path("f.quil-backup")));
  EXPECT_EQ("new", ReadFile(Path("f")));
  EXPECT_EQ(0755u, ModeOf(Path("f")));
  add->Finish(0);
  EXPECT_FALSE(Exists(Path("f.quil-backup")));
  EXPECT_EQ("new", ReadFile(Path("f")));
  EXPECT_EQ((std::vector<std::string>{"PREPARE ADD f", "EXECUTE ADD f", "FINISH ADD f"}),
            LogLines());
}

// A later action that fails may restore the add's backup itself (it cannot
// tell whose backup it is): the add must then not delete the old file.
TEST_F(AddActionTest, RollbackRemovesOnlyItsOwnFile) {
  WriteFile(Path("f"), "old", 0600);
  OpenArchive({{"f", {"new", 0644}}});
  auto before = Snapshot();
  auto add = Parsed<AddAction>("\"f\"");
  ASSERT_EQ(0, add->Execute());
  ASSERT_EQ(0, backup_restore("f"));
  add->Finish(4);
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
}

TEST_F(AddActionTest, RollbackRemovesTheDirectoriesItCreated) {
  WriteFile(Path("top/keep"), "k");
  OpenArchive({{"top/d/e/f", {"new", 0644}}, {"top/g/h", {"new", 0644}}});
  auto before = Snapshot();
  auto add = Parsed<AddAction>("\"top/d/e/f\"");
  auto other = Parsed<AddAction>("\"top/g/h\"");
  ASSERT_EQ(0, add->Execute());
  ASSERT_EQ(0, other->Execute());
  EXPECT_EQ("new", ReadFile(Path("top/d/e/f")));
  // Something that is not the action's own stays, and so does its directory.
  WriteFile(Path("top/g/stranger"), "s");
  add->Finish(6);
  other->Finish(6);
  before["top/g"] = "dir 0755";
  before["top/g/stranger"] = "file 0644 s";
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
  EXPECT_EQ(
      (std::vector<std::string>{
          "EXECUTE ADD top/d/e/f", "EXECUTE ADD top/g/h", "FINISH ADD top/d/e/f",
          "backup_restore: backup file doesn't exist: top/d/e/f.quil-backup", "FINISH ADD top/g/h",
          "backup_restore: backup file doesn't exist: top/g/h.quil-backup"}),
      LogLines());
}

TEST_F(AddActionTest, FailedExtractionLeavesNoPartialFile) {
  // Stored without compression, the entry is no bzip2 stream: the
  // destination is created and then the decompression fails.
  OpenArchive({{"new", {std::string(5000, 'x'), 0644}}, {"old", {std::string(5000, 'y'), 0644}}},
              /*raw=*/true);
  WriteFile(Path("old"), "old", 0600);
  auto before = Snapshot();
  for (const char* name : {"\"new\"", "\"old\""}) {
    SCOPED_TRACE(name);
    auto add = Parsed<AddAction>(name);
    EXPECT_NE(0, add->Execute());
    add->Finish(39);
    EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
  }
}

TEST_F(AddActionTest, SymbolicLinkTargetIsReplacedNeverWrittenThrough) {
  testing_util::ScopedTempDir outside;
  std::string dangling_target = outside.Sub("created-through-link");
  std::string live_target = outside.Sub("victim");
  WriteFile(live_target, "outside", 0644);
  ASSERT_EQ(0, symlink(dangling_target.c_str(), Path("dangling").c_str()));
  ASSERT_EQ(0, symlink(live_target.c_str(), Path("live").c_str()));
  OpenArchive({{"dangling", {"new d", 0644}}, {"live", {"new l", 0644}}});
  auto before = Snapshot();
  auto outside_before = testing_util::SnapshotTree(outside.path());

  for (int status : {0, 7}) {
    SCOPED_TRACE(status);
    for (const char* name : {"\"dangling\"", "\"live\""}) {
      auto add = Parsed<AddAction>(name);
      ASSERT_EQ(0, add->Execute());
      struct stat st;
      ASSERT_EQ(0, lstat(add->path, &st));
      EXPECT_TRUE(S_ISREG(st.st_mode));
      add->Finish(status);
    }
    EXPECT_EQ("", DiffSnapshots(outside_before, testing_util::SnapshotTree(outside.path())));
    if (status == 0) {
      EXPECT_EQ("new d", ReadFile(Path("dangling")));
      EXPECT_EQ("new l", ReadFile(Path("live")));
      // Put the links back for the rollback round.
      ASSERT_EQ(0, unlink(Path("dangling").c_str()));
      ASSERT_EQ(0, unlink(Path("live").c_str()));
      ASSERT_EQ(0, symlink(dangling_target.c_str(), Path("dangling").c_str()));
      ASSERT_EQ(0, symlink(live_target.c_str(), Path("live").c_str()));
    } else {
      EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
    }
  }
}

TEST_F(AddActionTest, ConditionsAreTestedOnceInPrepare) {
  WriteFile(Path("present"), "p");
  ASSERT_EQ(0, mkdir(Path("dir").c_str(), 0755));
  ASSERT_EQ(0, symlink("nowhere", Path("dangling").c_str()));
  OpenArchive({{"t", {"new", 0644}}});
  struct Case {
    bool add_if;
    const char* test;
    bool runs;
  } cases[] = {
      {true, "present", true},   {true, "missing", false},  {true, "dir", true},
      {true, "dangling", false}, {false, "present", false}, {false, "missing", true},
      {false, "dir", false},     {false, "dangling", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.add_if ? "add-if " : "add-if-not ") + c.test);
    ClearLog();
    std::unique_ptr<ConditionalAddAction> action;
    if (c.add_if) {
      action = std::make_unique<AddIfAction>();
    } else {
      action = std::make_unique<AddIfNotAction>();
    }
    ASSERT_EQ(0, action->Parse(Text(std::string("\"") + c.test + "\" \"t\"")));
    ASSERT_EQ(0, action->Prepare());
    // Whatever happens to the test file later does not count.
    std::string test = Path(c.test);
    bool present = access(test.c_str(), F_OK) == 0;
    bool dangling = !present && Exists(test);
    if (present) {
      ASSERT_EQ(0, rename(test.c_str(), Path("moved").c_str()));
    } else if (!dangling) {
      WriteFile(test, "appeared");
    }
    EXPECT_EQ(0, action->Execute());
    EXPECT_EQ(1, action->progress_cost);
    EXPECT_EQ(c.runs, Exists(Path("t")));
    action->Finish(0);
    if (c.runs) {
      EXPECT_EQ((std::vector<std::string>{"PREPARE ADD t", "EXECUTE ADD t", "FINISH ADD t"}),
                LogLines());
      EXPECT_EQ("new", ReadFile(Path("t")));
    } else {
      EXPECT_EQ(nullptr, action->test_path);
      action->Finish(7);
      EXPECT_TRUE(LogLines().empty());
    }
    unlink(Path("t").c_str());
    if (present) {
      ASSERT_EQ(0, rename(Path("moved").c_str(), test.c_str()));
    } else if (!dangling) {
      unlink(test.c_str());
    }
  }
}

// A complete update removes a file through the precomplete list and adds it
// again; after a later failure the old file must be back.
TEST_F(AddActionTest, CompleteUpdateRollbackKeepsReaddedFiles) {
  WriteFile(Path("a"), "old a", 0640);
  WriteFile(Path("b"), "old b", 0600);
  OpenArchive({{"a", {"new a", 0644}}, {"b", {"new b", 0644}}});
  auto before = Snapshot();
  ActionList list;
  list.Append(Parsed<RemoveAction>("\"a\""));
  list.Append(Parsed<AddAction>("\"a\""));
  // Executed add followed by a removal of the same file that never runs.
  list.Append(Parsed<AddAction>("\"b\""));
  list.Append(Parsed<AddAction>("\"missing\""));
  list.Append(Parsed<RemoveAction>("\"b\""));
  ASSERT_EQ(0, list.PrepareAll());
  int rv = list.ExecuteAll();
  ASSERT_EQ(6, rv);
  list.FinishAll(rv);
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
}

}  // namespace
}  // namespace actions_test

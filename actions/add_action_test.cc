#include "actions/add_action.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "actions/actions_test_util.h"
#include "actions/entry_predecoder.h"
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

// The same list run twice on identical trees, once with decoders working ahead
// and once without, must leave the same tree and log and return the same code.
class EntryPredecoderTest : public WorkDirTest {
 protected:
  struct Outcome {
    int rv = -100;
    std::map<std::string, std::string> tree;
    std::vector<std::string> log;
  };

  void SetUp() override {
    umask(022);
    snprintf(applyToDir, sizeof(applyToDir), "%s", tree_.path().c_str());
  }

  // Runs the three phases over `lines` ("add \"x\"", "remove \"y\"",
  // "add-if \"t\" \"x\"") in a fresh copy of the installation made by `make`.
  template <typename MakeTree>
  Outcome Run(const std::vector<std::string>& lines, MakeTree make, int threads,
              bool make_updating = true) {
    EXPECT_EQ(0, ensure_remove_recursive(tree_.path().c_str()));
    EXPECT_EQ(0, mkdir(tree_.path().c_str(), 0755));
    // The actions' paths are relative to the new directory.
    EXPECT_EQ(0, chdir(tree_.path().c_str()));
    make();
    ClearLog();
    ActionList list;
    for (const std::string& line : lines) {
      size_t space = line.find(' ');
      std::string keyword = line.substr(0, space);
      std::unique_ptr<Action> action;
      if (keyword == "add") action = std::make_unique<AddAction>();
      if (keyword == "add-if") action = std::make_unique<AddIfAction>();
      if (keyword == "remove") action = std::make_unique<RemoveAction>();
      EXPECT_TRUE(action) << line;
      EXPECT_EQ(0, action->Parse(Text(line.substr(space + 1))));
      list.Append(std::move(action));
    }
    Outcome out;
    // The directory that holds the run's temporary files, as the run makes it.
    if (make_updating) {
      EXPECT_EQ(0, mkdir(Path("updating").c_str(), 0755));
    }
    {
      EntryPredecoder predecoder(&list);
      predecoder.Start(threads);
      EXPECT_EQ(0, list.PrepareAll());
      out.rv = list.ExecuteAll();
    }
    // Nothing of the decoders is left once they are gone.
    if (make_updating) {
      EXPECT_EQ(0, rmdir(Path("updating").c_str())) << "leftovers in updating";
    } else {
      EXPECT_EQ(0, ensure_remove_recursive(Path("updating").c_str()));
    }
    list.FinishAll(out.rv);
    out.tree = Snapshot();
    out.log = LogLines();
    return out;
  }

  template <typename MakeTree>
  void ExpectSameAsUsual(const std::vector<std::string>& lines, MakeTree make, int want_rv) {
    Outcome usual = Run(lines, make, 0);
    EXPECT_EQ(want_rv, usual.rv);
    for (int threads : {1, 2, 3}) {
      Outcome ahead = Run(lines, make, threads);
      EXPECT_EQ(usual.rv, ahead.rv) << threads;
      EXPECT_EQ("", DiffSnapshots(usual.tree, ahead.tree)) << threads;
      EXPECT_EQ(usual.log, ahead.log) << threads;
    }
  }
};

TEST_F(EntryPredecoderTest, SameTreeLogAndResultAsExtractingInTurn) {
  std::map<std::string, Entry> entries;
  std::vector<std::string> lines = {"remove \"gone\"", "add-if \"missing\" \"never\""};
  for (int i = 0; i < 40; ++i) {
    std::string name = "d" + std::to_string(i % 4) + "/sub/f" + std::to_string(i);
    // Sizes from empty to several decompression steps.
    size_t size = i == 7 ? (700u << 10) : static_cast<size_t>(i) * 997;
    entries[name] = {testing_util::RandomBytes(size, i), i % 3 == 0 ? 0755u : 0640u};
    lines.push_back("add \"" + name + "\"");
  }
  entries["top"] = {"replaced", 0600};
  lines.push_back("add \"top\"");
  lines.push_back("add-if \"top\" \"cond\"");
  entries["cond"] = {"conditional", 0644};
  // Decoded ahead, then dropped when the add-if that owns it is skipped.
  entries["never"] = {testing_util::RandomBytes(300000, 99), 0644};
  auto make = [&] {
    WriteFile(Path("top"), "old top", 0644);
    WriteFile(Path("gone"), "bye", 0644);
    WriteFile(Path("d1/sub/f1"), "old f1", 0600);
  };
  OpenArchive(entries);
  ExpectSameAsUsual(lines, make, 0);
  EXPECT_EQ(entries["d2/sub/f2"].content, ReadFile(Path("d2/sub/f2")));
  EXPECT_EQ(0755u, ModeOf(Path("d3/sub/f3")));
}

// Early decoding that fails (a corrupt stream, a missing entry) leaves the
// work to the action, which fails as it would have; the later adds that were
// decoded ahead are dropped.
TEST_F(EntryPredecoderTest, FailuresFallBackToTheUsualExtraction) {
  std::map<std::string, Entry> good;
  std::vector<std::string> lines;
  for (int i = 0; i < 12; ++i) {
    good["f" + std::to_string(i)] = {testing_util::RandomBytes(20000 + i, i), 0644};
    lines.push_back("add \"f" + std::to_string(i) + "\"");
  }
  auto make = [&] { WriteFile(Path("f5"), "old f5", 0644); };

  std::vector<std::string> missing = lines;
  missing.insert(missing.begin() + 6, "add \"nowhere\"");
  OpenArchive(good);
  ExpectSameAsUsual(missing, make, kReadError);

  gArchiveReader.Close();
  OpenArchive(good, /*raw=*/true);
  ExpectSameAsUsual(lines, make, 39);
}

// Hidden files left by an earlier run that stopped half-way do not lend their
// mode or contents to the new files.
TEST_F(EntryPredecoderTest, StaleHiddenFilesAreReplaced) {
  std::map<std::string, Entry> entries;
  std::vector<std::string> lines;
  for (int i = 0; i < 8; ++i) {
    entries["f" + std::to_string(i)] = {testing_util::RandomBytes(30000, i), 0644};
    lines.push_back("add \"f" + std::to_string(i) + "\"");
  }
  OpenArchive(entries);
  auto make = [&] {
    for (int i = 0; i < 8; ++i) {
      WriteFile(Path("updating/.early-" + std::to_string(i)), "stale", 0700);
    }
  };
  Outcome out = Run(lines, make, 2, /*make_updating=*/false);
  EXPECT_EQ(0, out.rv);
  for (int i = 0; i < 8; ++i) {
    std::string name = "f" + std::to_string(i);
    EXPECT_EQ(entries[name].content, ReadFile(Path(name))) << name;
    EXPECT_EQ(0644u, ModeOf(Path(name))) << name;
  }
}

// Without the "updating" directory no hidden file can be made: every add
// extracts in turn, with the same outcome.
TEST_F(EntryPredecoderTest, NoPlaceForHiddenFiles) {
  OpenArchive({{"a", {"aaa", 0644}}, {"b/c", {"ccc", 0600}}});
  snprintf(applyToDir, sizeof(applyToDir), "%s", src_.Sub("nowhere").c_str());
  ActionList list;
  auto a = std::make_unique<AddAction>();
  ASSERT_EQ(0, a->Parse(Text("\"a\"")));
  list.Append(std::move(a));
  auto c = std::make_unique<AddAction>();
  ASSERT_EQ(0, c->Parse(Text("\"b/c\"")));
  list.Append(std::move(c));
  int rv;
  {
    EntryPredecoder predecoder(&list);
    predecoder.Start(2);
    ASSERT_EQ(0, list.PrepareAll());
    rv = list.ExecuteAll();
  }
  list.FinishAll(rv);
  EXPECT_EQ(0, rv);
  EXPECT_EQ("aaa", ReadFile(Path("a")));
  EXPECT_EQ("ccc", ReadFile(Path("b/c")));
  EXPECT_EQ(0600u, ModeOf(Path("b/c")));
}

}  // namespace
}  // namespace actions_test

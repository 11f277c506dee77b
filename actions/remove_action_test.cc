#include "actions/remove_action.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "actions/actions_test_util.h"
#include "actions/add_action.h"
#include "actions/precomplete.h"
#include "actions/rmrfdir.h"

namespace actions_test {
namespace {

using testing_util::DiffSnapshots;
using testing_util::Exists;
using testing_util::ReadFile;
using testing_util::WriteFile;
using Lines = std::vector<std::string>;

// "remove <path>" / "rmdir <dir>" for every action, in list order.
Lines Describe(const ActionList& list) {
  Lines out;
  for (Action* a = list.first(); a; a = a->next) {
    if (auto* r = dynamic_cast<RemoveAction*>(a)) out.push_back(std::string("remove ") + r->path);
    if (auto* d = dynamic_cast<RmdirAction*>(a)) out.push_back(std::string("rmdir ") + d->dir);
  }
  return out;
}

// The names in `dir` in the order the directory listing returns them.
Lines ListingOrder(const std::string& dir) {
  Lines names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

int RunAll(ActionList* list) {
  int rv = list->PrepareAll();
  if (rv != 0) return rv;
  rv = list->ExecuteAll();
  list->FinishAll(rv);
  return rv;
}

using RemoveActionTest = WorkDirTest;

TEST_F(RemoveActionTest, RemovesFileThroughItsBackup) {
  WriteFile(Path("d/f"), "f", 0400);
  for (int status : {7, 0}) {
    auto remove = Parsed<RemoveAction>("\"d/f\"");
    ASSERT_EQ(0, remove->Prepare());
    ASSERT_EQ(0, remove->Execute());
    EXPECT_FALSE(Exists(Path("d/f")));
    EXPECT_EQ("f", ReadFile(Path("d/f.quil-backup")));
    remove->Finish(status);
    EXPECT_EQ(status != 0, Exists(Path("d/f")));
    EXPECT_FALSE(Exists(Path("d/f.quil-backup")));
  }
  EXPECT_EQ((Lines{"PREPARE REMOVEFILE d/f", "EXECUTE REMOVEFILE d/f", "FINISH REMOVEFILE d/f",
                   "PREPARE REMOVEFILE d/f", "EXECUTE REMOVEFILE d/f", "FINISH REMOVEFILE d/f"}),
            LogLines());
}

TEST_F(RemoveActionTest, AbsentTargetsAreSkippedSilently) {
  // A dangling link named by a manifest line counts as absent and stays.
  ASSERT_EQ(0, symlink("nowhere", Path("dangling").c_str()));
  auto remove = Parsed<RemoveAction>("\"missing\"");
  auto link = Parsed<RemoveAction>("\"dangling\"");
  auto rmdir = Parsed<RmdirAction>("\"nodir/\"");
  for (Action* a : {static_cast<Action*>(remove.get()), static_cast<Action*>(link.get()),
                    static_cast<Action*>(rmdir.get())}) {
    EXPECT_EQ(0, a->Prepare());
    EXPECT_EQ(0, a->progress_cost);
    EXPECT_EQ(0, a->Execute());
    a->Finish(0);
    a->Finish(7);
  }
  EXPECT_EQ(1, remove->skip);
  EXPECT_EQ(1, rmdir->skip);
  EXPECT_TRUE(Exists(Path("dangling")));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(RemoveActionTest, TargetsVanishingAfterPrepareKeepTheirCost) {
  WriteFile(Path("f"), "f");
  ASSERT_EQ(0, mkdir(Path("d").c_str(), 0755));
  auto remove = Parsed<RemoveAction>("\"f\"");
  auto rmdir = Parsed<RmdirAction>("\"d/\"");
  ASSERT_EQ(0, remove->Prepare());
  ASSERT_EQ(0, rmdir->Prepare());
  ASSERT_EQ(0, unlink(Path("f").c_str()));
  ASSERT_EQ(0, ::rmdir(Path("d").c_str()));
  EXPECT_EQ(0, remove->Execute());
  EXPECT_EQ(0, rmdir->Execute());
  EXPECT_EQ(1, remove->progress_cost);
  EXPECT_EQ(1, rmdir->progress_cost);
  remove->Finish(0);
  rmdir->Finish(0);
  EXPECT_EQ((Lines{"PREPARE REMOVEFILE f", "PREPARE REMOVEDIR d/", "EXECUTE REMOVEFILE f",
                   "file cannot be removed because it does not exist; skipping",
                   "EXECUTE REMOVEDIR d/", "directory no longer exists; skipping"}),
            LogLines());
}

TEST_F(RemoveActionTest, WrongTypesFailPrepareWith42) {
  WriteFile(Path("f"), "f");
  ASSERT_EQ(0, mkdir(Path("d").c_str(), 0755));
  EXPECT_EQ(42, Parsed<RemoveAction>("\"d\"")->Prepare());
  EXPECT_EQ(42, Parsed<RmdirAction>("\"f/\"")->Prepare());
  EXPECT_EQ((Lines{"PREPARE REMOVEFILE d", "path present, but not a file: d",
                   "PREPARE REMOVEDIR f/", "path present, but not a directory: f"}),
            LogLines());
}

TEST_F(RemoveActionTest, UnwritableDirectoriesFailPrepareWith7) {
  WriteFile(Path("ro/f"), "f");
  WriteFile(Path("top"), "t");
  auto nested = Parsed<RemoveAction>("\"ro/f\"");
  auto top = Parsed<RemoveAction>("\"top\"");
  auto rmdir = Parsed<RmdirAction>("\"ro/\"");
  UpdateLog::Instance().Flush();
  auto before = Snapshot();
  // Root passes every permission test: check as an ordinary user.
  int rv = testing_util::RunAsNobody([&] {
    int result = (nested->Prepare() == 7) + (top->Prepare() == 7) + (rmdir->Prepare() == 7);
    UpdateLog::Instance().Flush();
    return result;
  });
  if (rv == -1) GTEST_SKIP() << "cannot switch to the user nobody";
  EXPECT_EQ(3, rv);
  EXPECT_EQ((Lines{"PREPARE REMOVEFILE ro/f", "access failed: 13", "PREPARE REMOVEFILE top",
                   "access failed: 13", "PREPARE REMOVEDIR ro/", "access failed: -1, 13"}),
            LogLines());
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
}

TEST_F(RemoveActionTest, NonEmptyDirectoryStaysWithoutFailingTheRun) {
  WriteFile(Path("d/keep"), "k");
  ActionList list;
  list.Append(Parsed<RmdirAction>("\"d/\""));
  EXPECT_EQ(0, RunAll(&list));
  EXPECT_TRUE(runSucceeded);
  EXPECT_TRUE(Exists(Path("d/keep")));
  EXPECT_EQ(
      (Lines{"PREPARE REMOVEDIR d/", "EXECUTE REMOVEDIR d/", "FINISH REMOVEDIR d/",
             "non-fatal error removing directory: d/, rv: 0, err: " + std::to_string(ENOTEMPTY)}),
      LogLines());
}

TEST_F(RemoveActionTest, FailedRunRemovesNoDirectory) {
  WriteFile(Path("d/f"), "f", 0640);
  auto before = Snapshot();
  ActionList list;
  list.Append(Parsed<RemoveAction>("\"d/f\""));
  list.Append(Parsed<RmdirAction>("\"d/\""));
  // No archive is open: the add fails in Execute.
  list.Append(Parsed<AddAction>("\"x\""));
  EXPECT_NE(0, RunAll(&list));
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
  for (const std::string& line : LogLines())
    EXPECT_EQ(std::string::npos, line.find("FINISH REMOVEDIR"));
}

TEST_F(RemoveActionTest, QuotePath) {
  EXPECT_STREQ("\"a b/c\"", quote_path("a b/c").get());
  EXPECT_STREQ("\"\"", quote_path("").get());
}

using DirEntriesTest = WorkDirTest;

TEST_F(DirEntriesTest, MissingDirectoryAddsNothing) {
  ActionList list;
  EXPECT_EQ(0, add_dir_entries("nope/", &list));
  EXPECT_EQ(0, list.count());
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(DirEntriesTest, DirectoriesFollowTheirContentsInListingOrder) {
  WriteFile(Path("d/f"), "f");
  WriteFile(Path("d/s/g"), "g");
  ActionList list;
  ASSERT_EQ(0, add_dir_entries("d/", &list));
  Lines f = {"remove d/f"};
  Lines s = {"remove d/s/g", "rmdir d/s"};
  Lines expected = ListingOrder(Path("d"))[0] == "f" ? f : s;
  Lines second = expected == f ? s : f;
  expected.insert(expected.end(), second.begin(), second.end());
  expected.push_back("rmdir d");
  EXPECT_EQ(expected, Describe(list));
}

// Links are removed as links, wherever they point; their targets stay.
class DirEntriesTreeTest : public WorkDirTest {
 protected:
  void SetUp() override {
    WriteFile(outside_.Sub("file"), "outside", 0644);
    WriteFile(outside_.Sub("dir/inner"), "inner", 0600);
    WriteFile(Path("d/f"), "f", 0444);
    WriteFile(Path("d/s/g"), "g", 0600);
    WriteFile(Path("d/s/t/h"), "h", 0755);
    ASSERT_EQ(0, symlink("f", Path("d/link_in").c_str()));
    ASSERT_EQ(0, symlink("../f", Path("d/s/link_up").c_str()));
    ASSERT_EQ(0, symlink("t", Path("d/s/link_dir_in").c_str()));
    ASSERT_EQ(0, symlink(outside_.Sub("file").c_str(), Path("d/s/t/link_out").c_str()));
    ASSERT_EQ(0, symlink(outside_.Sub("dir").c_str(), Path("d/link_dir_out").c_str()));
    ASSERT_EQ(0, symlink(outside_.Sub("nothing").c_str(), Path("d/s/dangling").c_str()));
    WriteFile(Path("other"), "other");
    outside_before_ = testing_util::SnapshotTree(outside_.path());
  }

  testing_util::ScopedTempDir outside_;
  std::map<std::string, std::string> outside_before_;
};

TEST_F(DirEntriesTreeTest, EveryDirectoryComesAfterItsContentsAndTheRootLast) {
  ActionList list;
  ASSERT_EQ(0, add_dir_entries("d/", &list));
  Lines actions = Describe(list);
  Lines expected_set = {"remove d/f",          "remove d/link_in",   "remove d/link_dir_out",
                        "remove d/s/g",        "remove d/s/link_up", "remove d/s/link_dir_in",
                        "remove d/s/dangling", "remove d/s/t/h",     "remove d/s/t/link_out",
                        "rmdir d/s/t",         "rmdir d/s",          "rmdir d"};
  Lines sorted = actions;
  std::sort(sorted.begin(), sorted.end());
  std::sort(expected_set.begin(), expected_set.end());
  EXPECT_EQ(expected_set, sorted);
  ASSERT_FALSE(actions.empty());
  EXPECT_EQ("rmdir d", actions.back());
  for (size_t i = 0; i < actions.size(); ++i) {
    if (actions[i].rfind("rmdir ", 0) != 0) continue;
    std::string prefix = actions[i].substr(6) + "/";
    for (size_t j = i + 1; j < actions.size(); ++j) {
      EXPECT_EQ(std::string::npos, actions[j].find(prefix))
          << actions[j] << " after " << actions[i];
    }
  }
}

TEST_F(DirEntriesTreeTest, RemovesTheTreeAndNothingElse) {
  ActionList list;
  ASSERT_EQ(0, add_dir_entries("d/", &list));
  EXPECT_EQ(0, RunAll(&list));
  EXPECT_FALSE(Exists(Path("d")));
  EXPECT_EQ((std::map<std::string, std::string>{{"other", "file 0644 other"}}), Snapshot());
  EXPECT_EQ("", DiffSnapshots(outside_before_, testing_util::SnapshotTree(outside_.path())));
}

TEST_F(DirEntriesTreeTest, RollbackRestoresTheTree) {
  auto before = Snapshot();
  ActionList list;
  ASSERT_EQ(0, add_dir_entries("d/", &list));
  list.Append(Parsed<AddAction>("\"x\""));  // fails: no archive is open
  EXPECT_NE(0, RunAll(&list));
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
  EXPECT_EQ("", DiffSnapshots(outside_before_, testing_util::SnapshotTree(outside_.path())));
}

TEST_F(DirEntriesTreeTest, RootThatIsALinkIsRemovedAsALink) {
  ASSERT_EQ(0, symlink(outside_.Sub("dir").c_str(), Path("root_link").c_str()));
  ActionList list;
  ASSERT_EQ(0, add_dir_entries("root_link/", &list));
  EXPECT_EQ(Lines{"remove root_link"}, Describe(list));
  EXPECT_EQ(0, RunAll(&list));
  EXPECT_FALSE(Exists(Path("root_link")));
  EXPECT_EQ("", DiffSnapshots(outside_before_, testing_util::SnapshotTree(outside_.path())));
}

TEST_F(DirEntriesTest, NamesWithQuotesAreKeptWhole) {
  WriteFile(Path("d/a\"b"), "quoted");
  WriteFile(Path("d/a"), "plain");
  WriteFile(Path("d/s\"t/u"), "u");
  ActionList list;
  ASSERT_EQ(0, add_dir_entries("d/", &list));
  Lines actions = Describe(list);
  std::sort(actions.begin(), actions.end());
  EXPECT_EQ((Lines{"remove d/a", "remove d/a\"b", "remove d/s\"t/u", "rmdir d", "rmdir d/s\"t"}),
            actions);
  EXPECT_EQ(0, RunAll(&list));
  EXPECT_TRUE(Snapshot().empty());
}

TEST_F(DirEntriesTest, PathsBreakingTheRulesFailWith5) {
  WriteFile(Path("sub/f"), "f");
  ActionList list;
  EXPECT_EQ(5, add_dir_entries("sub/../sub/", &list));
  EXPECT_EQ(Lines{"get_valid_path: paths must not contain '..': sub/../sub/f"}, LogLines());
  ClearLog();
  std::string absolute = Path("sub") + "/";
  EXPECT_EQ(5, add_dir_entries(absolute.c_str(), &list));
  EXPECT_EQ(Lines{"get_valid_path: path must be relative: " + Path("sub/f")}, LogLines());
  EXPECT_EQ(0, list.count());
}

TEST_F(DirEntriesTest, PathsTooLongForTheBufferFailWith42) {
  std::string dir = "d";
  while (dir.size() < 1100) dir += "/" + std::string(200, 'n');
  WriteFile(Path(dir + "/f"), "f");
  ActionList list;
  EXPECT_EQ(42, add_dir_entries("d/", &list));
  Lines log = LogLines();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(0u, log[0].rfind("add_dir_entries: path too long: d/nnn", 0));

  std::string root(1100, 'r');
  root += "/";
  EXPECT_EQ(42, add_dir_entries(root.c_str(), &list));
}

TEST_F(DirEntriesTest, UnreadableDirectoryFailsWith42) {
  WriteFile(Path("d/u/f"), "f");
  ASSERT_EQ(0, chmod(Path("d/u").c_str(), 0700));
  UpdateLog::Instance().Flush();
  int rv = testing_util::RunAsNobody([] {
    ActionList list;
    int result = add_dir_entries("d/", &list);
    UpdateLog::Instance().Flush();
    return result;
  });
  if (rv == -1) GTEST_SKIP() << "cannot switch to the user nobody";
  EXPECT_EQ(42, rv);
  EXPECT_EQ(Lines{"add_dir_entries: fts_read() error: d/u, err: " + std::to_string(EACCES)},
            LogLines());
}

using PreCompleteTest = WorkDirTest;

TEST_F(PreCompleteTest, ReadsRemovalsAndSkipsTheRest) {
  WriteFile(Path("precomplete"),
            "# comment\nremove \"a\"\r\nremove-cc \"b\"\n\n\nrmdir \"d/\"\nremove \"e f\"\n");
  WriteFile(Path("a"), "a");
  ActionList list;
  EXPECT_EQ(0, AddPreCompleteActions(&list));
  EXPECT_EQ((Lines{"remove a", "rmdir d", "remove e f"}), Describe(list));
  // The list keeps the text its actions point into.
  EXPECT_EQ(0, list.PrepareAll());
  EXPECT_EQ((Lines{"PREPARE REMOVEFILE a"}), LogLines());
}

TEST_F(PreCompleteTest, MissingFileOrOsUpdateAddsNothing) {
  ActionList list;
  EXPECT_EQ(0, AddPreCompleteActions(&list));
  EXPECT_EQ((Lines{"GetManifestContents: error opening manifest file: precomplete",
                   "AddPreCompleteActions: error getting contents of precomplete manifest"}),
            LogLines());
  ClearLog();
  WriteFile(Path("precomplete"), "remove \"a\"\n");
  isOsUpdate = true;
  EXPECT_EQ(0, AddPreCompleteActions(&list));
  EXPECT_EQ(0, list.count());
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(PreCompleteTest, BadLinesFailWith5) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"remove \"a\"\nadd \"x\"\n", "AddPreCompleteActions: unknown token: add"},
      {" #x \"a\"\n", "AddPreCompleteActions: unknown token: #x"},
      {"  \t \n", "AddPreCompleteActions: token not found in manifest"},
      {"Remove \"a\"\n", "AddPreCompleteActions: unknown token: Remove"},
      {"rmdir \"d\"\n", "get_valid_path: directory paths must have a trailing forward slash: d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ClearLog();
    WriteFile(Path("precomplete"), c.text);
    ActionList list;
    EXPECT_EQ(5, AddPreCompleteActions(&list));
    EXPECT_EQ(Lines{c.message}, LogLines());
  }
}

}  // namespace
}  // namespace actions_test

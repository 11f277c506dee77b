#include "actions/remove_action.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "actions/actions_test_util.h"
#include "actions/rmrfdir.h"

namespace actions_test {
namespace {

using RemoveActionTest = WorkDirTest;

// In the working directory, which is the installation.
void MakeTree() {
  WriteFile("d/f", "f", 0400);
  WriteFile("e/keep", "k");
  WriteFile("top", "t");
  ASSERT_EQ(0, mkdir("empty", 0755));
  ASSERT_EQ(0, symlink("nowhere", "dangling"));
}

// rmdir runs in Finish, only after success (a failed run: MixedListTest)
// and only on an empty directory. Absent targets are skipped silently; a
// dangling link is removed as a link.
TEST_F(RemoveActionTest, Removals) {
  struct Case {
    const char* manifest;  // "add" fails: no archive is open
    int rv;
    const char* removed;  // with its contents
    const char* log;      // null: not checked
  } cases[] = {
      {"remove \"d/f\"\nrmdir \"d/\"", 0, "d",
       "PREPARE REMOVEFILE d/f\nPREPARE REMOVEDIR d/\nEXECUTE REMOVEFILE d/f\n"
       "EXECUTE REMOVEDIR d/\nFINISH REMOVEFILE d/f\nFINISH REMOVEDIR d/\n"},
      {"remove \"missing\"\nrmdir \"nodir/\"", 0, "", ""},
      {"remove \"dangling\"", 0, "dangling", nullptr},
      {"rmdir \"e/\"", 0, "",
       "PREPARE REMOVEDIR e/\nEXECUTE REMOVEDIR e/\nFINISH REMOVEDIR e/\n"
       "non-fatal error removing directory: e/, rv: 0, err: 39\n"},
      {"remove \"d\"", 42, "", "PREPARE REMOVEFILE d\npath present, but not a file: d\n"},
      {"rmdir \"top/\"", 42, "",
       "PREPARE REMOVEDIR top/\npath present, but not a directory: top\n"},
  };
  for (const Case& c : cases) {
    ResetTree();
    MakeTree();
    Tree expected = Snapshot();
    expected.erase(c.removed), expected.erase(c.removed + std::string("/f"));
    ActionList list;
    ASSERT_EQ(0, Parse(c.manifest, &list));
    EXPECT_EQ(c.rv, RunPhases(&list)) << c.manifest;
    EXPECT_EQ("", DiffSnapshots(expected, Snapshot())) << c.manifest;
    EXPECT_EQ(c.log ? c.log : Log(), Log()) << c.manifest;
  }
}

// Root passes every permission test: these run as an ordinary user.
TEST_F(RemoveActionTest, UnwritableOrUnreadableDirectories) {
  MakeTree();
  WriteFile(Path("d/s/u"), "u");
  ASSERT_EQ(0, chmod("d/s", 0700));
  ActionList list;
  ASSERT_EQ(0, Parse("remove \"d/f\"\nremove \"top\"\nrmdir \"e/\"\n", &list));
  const Tree before = Snapshot();
  int rv = testing_util::RunAsNobody([&] {
    int result = 0;
    for (Action* a = list.first(); a; a = a->next) result += a->Check() == 7;
    ActionList walk;
    result += 10 * (add_dir_entries("d/", &walk) == 42);
    UpdateLog::Instance().Flush();
    return result;
  });
  if (rv == -1) GTEST_SKIP() << "cannot switch to the user nobody";
  EXPECT_EQ(13, rv);
  EXPECT_EQ(
      "PREPARE REMOVEFILE d/f\naccess failed: d/f, err: 13\nPREPARE REMOVEFILE top\n"
      "access failed: top, err: 13\nPREPARE REMOVEDIR e/\naccess failed: e/, rv: -1, err: 13\n"
      "add_dir_entries: fts_read() error: d/s, err: " +
          std::to_string(EACCES) + "\n",
      Log());
  EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
}

// rmrfdir: every directory after its contents and the root last; links (to
// files, to directories, inside, outside, dangling, as the root) removed as
// links, their targets kept; names with quotes kept whole.
TEST_F(RemoveActionTest, RmrfdirWalk) {
  testing_util::ScopedTempDir outside;
  WriteFile(outside.Sub("dir/inner"), "inner", 0600);
  WriteFile(Path("d/f"), "f", 0444);
  WriteFile(Path("d/s\"t/u/h"), "h", 0755);
  WriteFile(Path("other"), "other");
  const std::string dir = outside.Sub("dir"), none = outside.Sub("none");
  const std::string links[] = {"f",  "d/in",          "../f", "d/s\"t/up",
                               "u",  "d/s\"t/to_dir", dir,    "d/s\"t/u/out",
                               none, "d/dangling",    dir,    "root_link"};  // target, link
  for (size_t i = 0; i < 12; i += 2) ASSERT_EQ(0, symlink(links[i].c_str(), links[i + 1].c_str()));
  ActionList walk;
  ASSERT_EQ(0, add_dir_entries("d/", &walk));
  const std::string all = Describe(walk);
  EXPECT_EQ(10, std::count(all.begin(), all.end(), '\n')) << all;
  EXPECT_GT(all.find("rmdir d/s\"t/u\n"), all.rfind("d/s\"t/u/")) << all;
  EXPECT_GT(all.find("rmdir d/s\"t\n"), all.rfind("d/s\"t/")) << all;
  EXPECT_EQ(all.size() - 8, all.find("rmdir d\n")) << all;
  ActionList root;
  ASSERT_EQ(0, add_dir_entries("root_link/", &root));
  EXPECT_EQ(0, add_dir_entries("nope/", &root));
  EXPECT_EQ("remove root_link\n", Describe(root));
  EXPECT_EQ("add_dir_entries: found a non-standard file: root_link\n", Log());

  const Tree before = Snapshot(), outside_before = testing_util::SnapshotTree(outside.path());
  for (const char* last : {"add \"x\"", ""}) {
    ActionList list;
    ASSERT_EQ(0, Parse(std::string("rmrfdir \"d/\"\nrmrfdir \"root_link/\"\n") + last, &list));
    EXPECT_EQ(*last ? 6 : 0, RunPhases(&list));
    EXPECT_EQ("", DiffSnapshots(*last ? before : Tree{{"other", "file 0644 other"}}, Snapshot()));
    EXPECT_EQ("", DiffSnapshots(outside_before, testing_util::SnapshotTree(outside.path())));
  }
}

TEST_F(RemoveActionTest, RmrfdirRefusesPathsBreakingTheRules) {
  WriteFile(Path("one/f"), "f");
  std::string deep = "long";
  while (deep.size() < 1100) deep += "/" + std::string(200, 'n');
  WriteFile(Path(deep + "/f"), "f");
  ActionList list;
  EXPECT_EQ(5, add_dir_entries("one/../one/", &list));
  EXPECT_EQ(5, add_dir_entries((Path("one") + "/").c_str(), &list));
  EXPECT_EQ(42, add_dir_entries("long/", &list));
  EXPECT_EQ(42, add_dir_entries((std::string(1100, 'r') + "/").c_str(), &list));
  EXPECT_EQ(0, list.count());
  EXPECT_EQ(0u, Log().find("get_valid_path: paths must not contain '..': one/../one/f\n"
                           "get_valid_path: path must be relative: " +
                           Path("one/f") + "\nadd_dir_entries: path too long: long/nnn"));
}

}  // namespace
}  // namespace actions_test

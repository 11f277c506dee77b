// End-to-end tests of make-update and qxdiff: build archives from generated
// trees with the built tools, apply them with the built updater and compare
// the result with the new tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "testing/test_util.h"

using testing_util::Exists;
using testing_util::RandomBytes;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::SnapshotTree;
using testing_util::WriteFile;

namespace {

struct ToolResult {
  int exit_code = -1;
  std::string output;  // standard output and standard error
};

ToolResult RunTool(const std::string& command) {
  ScopedTempDir dir;
  int rv = testing_util::RunCommand(command + " >" + dir.Sub("out") + " 2>&1");
  return {rv, ReadFile(dir.Sub("out"))};
}

const std::string kVerify = std::string("--verify --updater ") + UPDATER_BINARY + " ";

// make-update with a version, `args` and "-o OUT OLD NEW".
ToolResult MakeUpdate(const std::string& args, const std::string& out, const std::string& old_dir,
                      const std::string& new_dir) {
  return RunTool(std::string(MAKE_UPDATE_BINARY) + " --version 2.0 " + args + " -o " + out + " " +
                 old_dir + " " + new_dir);
}

// Applies `archive` to `install` with the built updater (umask 0, no window);
// true when the status file says "succeeded".
bool ApplyUpdate(const std::string& archive, const std::string& install) {
  ScopedTempDir update;
  ToolResult r = RunTool("ln " + archive + " " + update.Sub("update.qex") +
                         " && umask 0 && env -u DISPLAY -u QUIL_OS_UPDATE " + UPDATER_BINARY + " " +
                         update.path() + " " + install);
  std::string status = ReadFile(update.Sub("update.status"));
  EXPECT_EQ("succeeded\n", status) << r.output << ReadFile(update.Sub("update.log"));
  return r.exit_code == 0 && status == "succeeded\n";
}

// The manifest inside an archive, decompressed.
std::string ManifestOf(const std::string& archive) {
  ScopedTempDir dir;
  ArchiveReader reader;
  if (reader.Open(archive.c_str()) != 0) return "";
  int rv = reader.ExtractToFile("updatev3.manifest", dir.Sub("m").c_str());
  reader.Close();
  return rv == 0 ? ReadFile(dir.Sub("m")) : "";
}

// Builds a tree below `root` from lines "path=contents" (a file, with the
// mode 0644 or the one given as "path@755=contents"), "path->link target" and
// "path" (a directory).
void MakeTree(const std::string& root, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    size_t eq = line.find('='), arrow = line.find("->"), at = line.find('@');
    std::string path = root + "/" + line.substr(0, std::min({eq, arrow, at}));
    if (eq != std::string::npos) {
      WriteFile(path, line.substr(eq + 1),
                at < eq ? std::stoi(line.substr(at + 1), nullptr, 8) : 0644);
      continue;
    }
    ASSERT_EQ(0, testing_util::RunCommand(
                     "mkdir -p " + path.substr(0, arrow < eq ? path.rfind('/') : path.size())));
    if (arrow != std::string::npos) {
      ASSERT_EQ(0, symlink(line.substr(arrow + 2).c_str(), path.c_str()));
    }
  }
}

// Expects every one of `parts` in `text`, or none of them.
void ExpectParts(const std::string& text, const std::vector<std::string>& parts,
                 bool present = true) {
  for (const std::string& part : parts) {
    EXPECT_EQ(present, text.find(part) != std::string::npos) << part << "\n" << text;
  }
}

// Old and new trees that differ in every way a partial update handles.
void MakeTrees(const std::string& old_dir, const std::string& new_dir) {
  std::string big = RandomBytes(300000, 1), changed = big;
  changed.replace(1000, 5, "CHANGE");
  WriteFile(old_dir + "/lib/big.so", big, 0755);
  WriteFile(new_dir + "/lib/big.so", changed + RandomBytes(500, 2), 0755);
  // A patched file would keep the installed file's mode.
  WriteFile(old_dir + "/bin/big", big, 0644);
  WriteFile(new_dir + "/bin/big", changed, 0755);
  MakeTree(old_dir, {"lib/small.txt=small old", "same/keep.txt=unchanged", "bin/tool=same bytes",
                     "gone/deeper/old.dat=gone", "gone/top.dat=gone too", "becomes_dir=a file",
                     "lib/removed.txt=removed", "empty-old="});
  MakeTree(new_dir, {"lib/small.txt=something else entirely", "same/keep.txt=unchanged",
                     "bin/tool@755=same bytes", "new/dir/fresh.dat@600=fresh",
                     "becomes_dir/inside=then a directory",
                     "empty-old=", "lib/big.so.patch=a file where the patch entry would go"});
}

TEST(MakeUpdateTest, PartialUpdateGivesTheNewTreeAndVerifyNamesEveryDifference) {
  ScopedTempDir dir;
  std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new"), install = dir.Sub("install");
  MakeTrees(old_dir, new_dir);
  MakeTrees(install, dir.Sub("unused"));
  ToolResult r = MakeUpdate(kVerify, dir.Sub("u.qex"), old_dir, new_dir);
  ASSERT_EQ(0, r.exit_code) << r.output;
  ExpectParts(r.output, {"1 patched, 7 added, 4 removed, 2 directories removed, 2 unchanged",
                         "bin/tool stored whole (mode changes)", "verified"});
  std::string manifest = ManifestOf(dir.Sub("u.qex"));
  EXPECT_EQ(0u, manifest.find("type \"partial\"\n")) << manifest;
  // The patch entry takes a name that no file entry has.
  ExpectParts(manifest,
              {"patch \"lib/big.so.patch.1\" \"lib/big.so\"\n", "add \"lib/big.so.patch\"\n"});
  ASSERT_TRUE(ApplyUpdate(dir.Sub("u.qex"), install));
  // Removals before additions, directories last and deepest first: the
  // updater fails or leaves directories behind otherwise.
  ExpectParts(ReadFile(install + "/precomplete"), {"remove \"precomplete\"\n"});
  auto actual = SnapshotTree(install);
  ASSERT_EQ(1u, actual.erase("precomplete"));
  EXPECT_EQ("", testing_util::DiffSnapshots(SnapshotTree(new_dir), actual));

  // Two things no manifest can carry: an empty directory and a set-id bit.
  MakeTree(new_dir, {"same/empty"});
  ASSERT_EQ(0, chmod((new_dir + "/lib/small.txt").c_str(), 02644));
  r = MakeUpdate(kVerify, dir.Sub("u.qex"), old_dir, new_dir);
  EXPECT_EQ(1, r.exit_code) << r.output;
  ExpectParts(r.output, {"empty directory same/empty is left out", "set-id and sticky bits",
                         "verify: missing: same/empty",
                         "verify: mode 0644 instead of 2644: lib/small.txt", "2 difference(s)"});
  EXPECT_TRUE(Exists(dir.Sub("u.qex.verify/install/lib/big.so")));
}

TEST(MakeUpdateTest, CompleteUpdatesCleanUpThroughThePrecompleteFile) {
  ScopedTempDir dir;
  std::string install = dir.Sub("install");
  MakeTree(dir.Sub("v1"), {"app/bin/run=v1", "app/data/old/a.dat=only in v1", "app/keep.dat=k"});
  MakeTree(dir.Sub("v2"), {"app/bin/run=v2", "app/keep.dat=k", "app/lib/new.so=new"});
  ToolResult r1 = MakeUpdate("--full", dir.Sub("full1.qex"), "", dir.Sub("v1"));
  ASSERT_EQ(0, r1.exit_code) << r1.output;
  ASSERT_TRUE(ApplyUpdate(dir.Sub("full1.qex"), install));
  EXPECT_EQ("only in v1", ReadFile(install + "/app/data/old/a.dat"));
  // The second complete update removes what the first one installed and v2
  // no longer has, directories included.
  ToolResult r2 = MakeUpdate("--full", dir.Sub("full2.qex"), dir.Sub("v1"), dir.Sub("v2"));
  ASSERT_EQ(0, r2.exit_code) << r2.output;
  ASSERT_TRUE(ApplyUpdate(dir.Sub("full2.qex"), install));
  auto actual = SnapshotTree(install);
  ASSERT_EQ(1u, actual.erase("precomplete"));
  EXPECT_EQ("", testing_util::DiffSnapshots(SnapshotTree(dir.Sub("v2")), actual));
  // Without a precomplete file in v1, nothing removes what v2 no longer has.
  r2 = MakeUpdate("--full " + kVerify, dir.Sub("full3.qex"), dir.Sub("v1"), dir.Sub("v2"));
  EXPECT_EQ(1, r2.exit_code) << r2.output;
  ExpectParts(r2.output, {"verify: not in the new tree: app/data/old/a.dat"});
}

TEST(MakeUpdateTest, CopiedLinksAreStoredAsFilesOrStayWhereUnchanged) {
  ScopedTempDir dir;
  std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new");
  // The same link on both sides, to a file that the update patches: the
  // installed link stays and names the patched file.
  std::string data = RandomBytes(200000, 9), changed = data;
  changed[5000] = static_cast<char>(changed[5000] + 1);
  WriteFile(old_dir + "/share/data.bin", data);
  WriteFile(new_dir + "/share/data.bin", changed);
  MakeTree(old_dir, {"lib/libx.so.1=version 1", "lib/data.bin->../share/data.bin"});
  MakeTree(new_dir, {"lib/libx.so.2=version 2", "lib/libx.so->libx.so.2", "dangling->nowhere",
                     "lib/data.bin->../share/data.bin"});
  ToolResult r = MakeUpdate("--copy-links " + kVerify, dir.Sub("u.qex"), old_dir, new_dir);
  ASSERT_EQ(0, r.exit_code) << r.output;
  ExpectParts(r.output, {"stored as a copy of its target: " + new_dir + "/lib/libx.so -> libx.so.2",
                         "left out (dangling symbolic link): " + new_dir + "/dangling -> nowhere"});
  ExpectParts(ManifestOf(dir.Sub("u.qex")), {"dangling", "lib/data.bin"}, false);
}

TEST(MakeUpdateTest, RefusesWhatTheManifestCannotSay) {
  const std::string precomplete = "precomplete=remove \"a\"\nremove \"precomplete\"\n";
  const struct {
    std::string options;
    std::vector<std::string> new_tree;
    std::vector<std::string> expected;  // parts of the output; NEW is the new tree
    std::string output = "u.qex";       // below the test directory
    std::vector<std::string> old_tree = {"a=a"};
  } cases[] = {
      {"",
       {"lib/libx.so.2=2", "lib/libx.so->libx.so.2", "dangling->nowhere"},
       {"symbolic link: NEW/lib/libx.so -> libx.so.2", "symbolic link: NEW/dangling -> nowhere",
        "2 object(s) above cannot be expressed by the manifest; --copy-links stores"}},
      // A link to a directory cannot be stored even as a copy.
      {"--copy-links",
       {"d/f=in d", "dlink->d"},
       {"symbolic link to something other than a regular file: NEW/dlink -> d"}},
      {"",
       {"notes..txt=dots", "say \"hi\"=quote", "ok=ok"},
       {"cannot carry (\"..\", a double quote, a line break or too long): NEW/notes..txt",
        "NEW/say \"hi\"", "2 object(s)"}},
      {"", {"b=b"}, {"the archive must not be written inside NEW"}, "new/u.qex"},
      // A directory that becomes a file would leave the backup of the directory.
      {"", {"x=now a file"}, {"the directory x becomes a file"}, "u.qex", {"x/inside=in x"}},
      // The updater would refuse an update without actions.
      {"", {"a=a", precomplete}, {"there is nothing to update"}, "u.qex", {"a=a", precomplete}},
  };
  for (const auto& c : cases) {
    ScopedTempDir dir;
    MakeTree(dir.Sub("old"), c.old_tree);
    MakeTree(dir.Sub("new"), c.new_tree);
    ToolResult r = MakeUpdate(c.options, dir.Sub(c.output), dir.Sub("old"), dir.Sub("new"));
    EXPECT_EQ(1, r.exit_code) << r.output;
    EXPECT_FALSE(Exists(dir.Sub(c.output))) << c.output;
    for (std::string part : c.expected) {
      if (part.find("NEW") != std::string::npos) part.replace(part.find("NEW"), 3, dir.Sub("new"));
      ExpectParts(r.output, {part});
    }
  }
}

TEST(MakeUpdateTest, CommandLines) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("new"), "new bytes");
  const std::string make_update = MAKE_UPDATE_BINARY, qxdiff = QXDIFF_BINARY;
  const struct {
    std::string command;
    int exit_code;
    std::string part;
  } cases[] = {
      {make_update + " --help", 0, "usage:"},
      {qxdiff + " --help", 0, "usage:"},
      {make_update + " --no-such-option a b", 1, "unknown option or missing value: --no-such"},
      {make_update, 1, "expected OLD_DIR NEW_DIR"},
      {qxdiff, 1, "expected three arguments, got 0"},
      {make_update + " /tmp /tmp", 1, "--version is required"},
      {qxdiff + " " + dir.Sub("absent") + " " + dir.Sub("new") + " " + dir.Sub("p"), 1,
       "qxdiff: cannot open " + dir.Sub("absent")},
  };
  for (const auto& c : cases) {
    ToolResult r = RunTool(c.command);
    EXPECT_EQ(c.exit_code, r.exit_code) << c.command;
    ExpectParts(r.output, {c.part});
  }
  EXPECT_FALSE(Exists(dir.Sub("p")));
}

}  // namespace

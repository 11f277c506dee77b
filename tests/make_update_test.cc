// End-to-end tests of make-update and qxdiff: build archives from generated
// trees with the built tools, apply them with the built updater and compare
// the result with the new tree.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/qex.h"
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
  ToolResult r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.output.append(buf, n);
  int status = pclose(p);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string MakeUpdate(const std::string& args) {
  return std::string(MAKE_UPDATE_BINARY) + " --version 2.0 " + args;
}

// Applies `archive` to `install` with the built updater (umask 0, no window);
// true when the status file says "succeeded".
bool ApplyUpdate(const std::string& archive, const std::string& install) {
  ScopedTempDir update;
  if (link(archive.c_str(), update.Sub("update.qex").c_str()) != 0) return false;
  std::string cmd = "umask 0 && env -u DISPLAY -u QUIL_OS_UPDATE " + std::string(UPDATER_BINARY) +
                    " " + update.path() + " " + install + " >/dev/null 2>&1";
  int rv = testing_util::RunCommand(cmd);
  std::string status = ReadFile(update.Sub("update.status"));
  EXPECT_EQ(0, rv) << ReadFile(update.Sub("update.log"));
  EXPECT_EQ("succeeded\n", status) << ReadFile(update.Sub("update.log"));
  return rv == 0 && status == "succeeded\n";
}

// The manifest inside an archive, decompressed.
std::string ManifestOf(const std::string& archive) {
  QexArchive* a = qex_open(archive.c_str());
  if (a == nullptr) return "";
  std::string text;
  QexEntry* e = qex_find_entry(a, "updatev3.manifest");
  if (e != nullptr) {
    std::string stored(e->length, '\0');
    if (qex_read_entry(a, e, 0, &stored[0], e->length) == static_cast<int>(e->length)) {
      std::vector<char> out(1 << 20);
      unsigned out_len = static_cast<unsigned>(out.size());
      if (BZ2_bzBuffToBuffDecompress(out.data(), &out_len, &stored[0], e->length, 0, 0) == BZ_OK) {
        text.assign(out.data(), out_len);
      }
    }
  }
  qex_close(a);
  return text;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Old and new trees that differ in every way a partial update handles.
void MakeTrees(const std::string& old_dir, const std::string& new_dir) {
  std::string big = RandomBytes(300000, 1);
  std::string big_changed = big;
  big_changed.replace(1000, 5, "CHANGE");
  big_changed += RandomBytes(500, 2);
  WriteFile(old_dir + "/lib/big.so", big, 0755);
  WriteFile(new_dir + "/lib/big.so", big_changed, 0755);
  WriteFile(old_dir + "/lib/small.txt", "small old");
  WriteFile(new_dir + "/lib/small.txt", "something else entirely");
  WriteFile(old_dir + "/same/keep.txt", "unchanged");
  WriteFile(new_dir + "/same/keep.txt", "unchanged");
  WriteFile(old_dir + "/bin/tool", "same bytes", 0644);
  WriteFile(new_dir + "/bin/tool", "same bytes", 0755);
  WriteFile(new_dir + "/new/dir/fresh.dat", RandomBytes(1000, 3), 0600);
  WriteFile(old_dir + "/gone/deeper/old.dat", "gone");
  WriteFile(old_dir + "/gone/top.dat", "gone too");
  WriteFile(old_dir + "/becomes_dir", "a file first");
  WriteFile(new_dir + "/becomes_dir/inside", "then a directory");
  WriteFile(old_dir + "/lib/removed.txt", "removed");
  WriteFile(new_dir + "/empty-old", "");
  WriteFile(old_dir + "/empty-old", "");
}

TEST(MakeUpdateTest, PartialUpdateAppliedByTheUpdaterGivesTheNewTree) {
  ScopedTempDir dir;
  std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new"), install = dir.Sub("install");
  MakeTrees(old_dir, new_dir);
  MakeTrees(install, dir.Sub("unused"));
  ToolResult r = RunTool(MakeUpdate("-o " + dir.Sub("u.qex") + " " + old_dir + " " + new_dir));
  ASSERT_EQ(0, r.exit_code) << r.output;
  EXPECT_TRUE(
      Contains(r.output, "1 patched, 5 added, 4 removed, 2 directories removed, 2 unchanged"))
      << r.output;

  std::string manifest = ManifestOf(dir.Sub("u.qex"));
  EXPECT_EQ(0u, manifest.find("type \"partial\"\n")) << manifest;
  EXPECT_TRUE(Contains(manifest, "patch \"lib/big.so.patch\" \"lib/big.so\"\n")) << manifest;
  EXPECT_TRUE(Contains(manifest, "add \"lib/small.txt\"\n")) << manifest;
  EXPECT_TRUE(Contains(manifest, "add \"bin/tool\"\n")) << manifest;  // the mode changed
  EXPECT_TRUE(Contains(manifest, "add \"precomplete\"\n")) << manifest;
  EXPECT_FALSE(Contains(manifest, "same/keep.txt")) << manifest;
  // Removals first (a file gives way to a directory), then the rest; the
  // directories after their files, deepest first.
  EXPECT_LT(manifest.find("remove \"becomes_dir\""), manifest.find("add \"becomes_dir/inside\""));
  EXPECT_LT(manifest.find("rmdir \"gone/deeper/\""), manifest.find("rmdir \"gone/\""));
  EXPECT_LT(manifest.find("remove \"gone/top.dat\""), manifest.find("rmdir \"gone/"));

  ASSERT_TRUE(ApplyUpdate(dir.Sub("u.qex"), install));
  auto expected = SnapshotTree(new_dir);
  auto actual = SnapshotTree(install);
  ASSERT_TRUE(actual.count("precomplete"));
  std::string precomplete = ReadFile(install + "/precomplete");
  EXPECT_TRUE(Contains(precomplete, "remove \"lib/big.so\"\n")) << precomplete;
  EXPECT_TRUE(Contains(precomplete, "remove \"precomplete\"\n")) << precomplete;
  EXPECT_LT(precomplete.find("rmdir \"new/dir/\""), precomplete.find("rmdir \"new/\""));
  actual.erase("precomplete");
  EXPECT_EQ("", testing_util::DiffSnapshots(expected, actual));
}

TEST(MakeUpdateTest, VerifyPassesOrNamesEveryDifference) {
  ScopedTempDir dir;
  std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new");
  MakeTrees(old_dir, new_dir);
  std::string updater = std::string(" --updater ") + UPDATER_BINARY + " ";
  ToolResult ok = RunTool(
      MakeUpdate("--verify" + updater + "-o " + dir.Sub("u.qex") + " " + old_dir + " " + new_dir));
  EXPECT_EQ(0, ok.exit_code) << ok.output;
  EXPECT_TRUE(Contains(ok.output, "verified")) << ok.output;

  // Two things no manifest can carry: an empty directory and a set-id bit.
  ASSERT_EQ(0, mkdir(dir.Sub("new/same/empty").c_str(), 0755));
  ASSERT_EQ(0, chmod(dir.Sub("new/lib/small.txt").c_str(), 02644));
  ToolResult bad = RunTool(
      MakeUpdate("--verify" + updater + "-o " + dir.Sub("u.qex") + " " + old_dir + " " + new_dir));
  EXPECT_EQ(1, bad.exit_code) << bad.output;
  EXPECT_TRUE(Contains(bad.output, "empty directory same/empty is left out")) << bad.output;
  EXPECT_TRUE(Contains(bad.output, "set-id and sticky bits")) << bad.output;
  EXPECT_TRUE(Contains(bad.output, "verify: missing: same/empty")) << bad.output;
  EXPECT_TRUE(Contains(bad.output, "verify: mode 0644 instead of 2644: lib/small.txt"))
      << bad.output;
  EXPECT_TRUE(Contains(bad.output, "2 difference(s)")) << bad.output;
  EXPECT_TRUE(Exists(dir.Sub("u.qex.verify/install/lib/big.so")));
}

TEST(MakeUpdateTest, CompleteUpdatesCleanUpThroughThePrecompleteFile) {
  ScopedTempDir dir;
  std::string install = dir.Sub("install");
  ASSERT_EQ(0, mkdir(install.c_str(), 0755));
  WriteFile(dir.Sub("v1/app/bin/run"), "v1 program", 0755);
  WriteFile(dir.Sub("v1/app/data/old/a.dat"), "only in v1");
  WriteFile(dir.Sub("v1/app/data/keep.dat"), "kept");
  WriteFile(dir.Sub("v2/app/bin/run"), "v2 program", 0755);
  WriteFile(dir.Sub("v2/app/data/keep.dat"), "kept");
  WriteFile(dir.Sub("v2/app/lib/new.so"), RandomBytes(5000, 7));

  ToolResult r1 = RunTool(MakeUpdate("--full -o " + dir.Sub("full1.qex") + " " + dir.Sub("v1")));
  ASSERT_EQ(0, r1.exit_code) << r1.output;
  std::string manifest = ManifestOf(dir.Sub("full1.qex"));
  EXPECT_EQ(0u, manifest.find("type \"complete\"\n")) << manifest;
  EXPECT_TRUE(Contains(manifest, "add \"app/data/old/a.dat\"\n")) << manifest;
  ASSERT_TRUE(ApplyUpdate(dir.Sub("full1.qex"), install));
  EXPECT_EQ("only in v1", ReadFile(install + "/app/data/old/a.dat"));

  // The second complete update removes what the first one installed and v2
  // no longer has, directories included.
  ToolResult r2 = RunTool(
      MakeUpdate("--full -o " + dir.Sub("full2.qex") + " " + dir.Sub("v1") + " " + dir.Sub("v2")));
  ASSERT_EQ(0, r2.exit_code) << r2.output;
  ASSERT_TRUE(ApplyUpdate(dir.Sub("full2.qex"), install));
  auto actual = SnapshotTree(install);
  ASSERT_TRUE(actual.count("precomplete"));
  actual.erase("precomplete");
  EXPECT_EQ("", testing_util::DiffSnapshots(SnapshotTree(dir.Sub("v2")), actual));
}

TEST(MakeUpdateTest, SymbolicLinksAreRefusedUnlessCopied) {
  ScopedTempDir dir;
  std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new");
  WriteFile(old_dir + "/lib/libx.so.1", "version 1", 0755);
  WriteFile(new_dir + "/lib/libx.so.2", "version 2", 0755);
  ASSERT_EQ(0, symlink("libx.so.2", (new_dir + "/lib/libx.so").c_str()));
  ASSERT_EQ(0, symlink("nowhere", (new_dir + "/dangling").c_str()));
  ASSERT_EQ(0, mkdir((new_dir + "/d").c_str(), 0755));
  WriteFile(new_dir + "/d/f", "in d");

  std::string archive = dir.Sub("u.qex");
  ToolResult refused = RunTool(MakeUpdate("-o " + archive + " " + old_dir + " " + new_dir));
  EXPECT_EQ(1, refused.exit_code);
  EXPECT_TRUE(Contains(refused.output, "symbolic link: " + new_dir + "/lib/libx.so -> libx.so.2"))
      << refused.output;
  EXPECT_TRUE(Contains(refused.output, "symbolic link: " + new_dir + "/dangling -> nowhere"))
      << refused.output;
  EXPECT_TRUE(Contains(refused.output, "--copy-links")) << refused.output;
  EXPECT_FALSE(Exists(archive));

  // A link to a directory cannot be stored even as a copy.
  ASSERT_EQ(0, symlink("d", (new_dir + "/dlink").c_str()));
  ToolResult dir_link =
      RunTool(MakeUpdate("--copy-links -o " + archive + " " + old_dir + " " + new_dir));
  EXPECT_EQ(1, dir_link.exit_code);
  EXPECT_TRUE(Contains(dir_link.output, "other than a regular file: " + new_dir + "/dlink"))
      << dir_link.output;
  ASSERT_EQ(0, unlink((new_dir + "/dlink").c_str()));

  std::string updater = std::string(" --updater ") + UPDATER_BINARY + " ";
  ToolResult copied = RunTool(MakeUpdate("--copy-links --verify" + updater + "-o " + archive + " " +
                                         old_dir + " " + new_dir));
  ASSERT_EQ(0, copied.exit_code) << copied.output;
  EXPECT_TRUE(Contains(copied.output,
                       "stored as a copy of its target: " + new_dir + "/lib/libx.so -> libx.so.2"))
      << copied.output;
  EXPECT_TRUE(Contains(copied.output,
                       "left out (dangling symbolic link): " + new_dir + "/dangling -> nowhere"))
      << copied.output;
  std::string manifest = ManifestOf(archive);
  EXPECT_TRUE(Contains(manifest, "add \"lib/libx.so\"\n")) << manifest;
  EXPECT_FALSE(Contains(manifest, "dangling")) << manifest;

  // The same link on both sides, to a file that the update patches: the
  // installed link stays and names the patched file.
  ScopedTempDir dir2;
  std::string data = RandomBytes(200000, 9), changed = data;
  changed[5000] = static_cast<char>(changed[5000] + 1);
  WriteFile(dir2.Sub("old/share/data.bin"), data);
  WriteFile(dir2.Sub("new/share/data.bin"), changed);
  for (const char* side : {"old", "new"}) {
    ASSERT_EQ(0, mkdir(dir2.Sub(std::string(side) + "/lib").c_str(), 0755));
    ASSERT_EQ(0,
              symlink("../share/data.bin", dir2.Sub(std::string(side) + "/lib/data.bin").c_str()));
  }
  ToolResult same_link =
      RunTool(MakeUpdate("--copy-links --verify" + updater + "-o " + dir2.Sub("u.qex") + " " +
                         dir2.Sub("old") + " " + dir2.Sub("new")));
  ASSERT_EQ(0, same_link.exit_code) << same_link.output;
  manifest = ManifestOf(dir2.Sub("u.qex"));
  EXPECT_TRUE(Contains(manifest, "patch \"share/data.bin.patch\" \"share/data.bin\"\n"))
      << manifest;
  EXPECT_FALSE(Contains(manifest, "lib/data.bin")) << manifest;
}

TEST(MakeUpdateTest, RefusesWhatTheManifestCannotSay) {
  ScopedTempDir dir;
  std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new");
  WriteFile(old_dir + "/a", "a");
  WriteFile(new_dir + "/notes..txt", "dots");
  WriteFile(new_dir + "/say \"hi\"", "quote");
  ToolResult names = RunTool(MakeUpdate("-o " + dir.Sub("u.qex") + " " + old_dir + " " + new_dir));
  EXPECT_EQ(1, names.exit_code);
  EXPECT_TRUE(Contains(names.output, new_dir + "/notes..txt")) << names.output;
  EXPECT_TRUE(Contains(names.output, new_dir + "/say \"hi\"")) << names.output;
  EXPECT_TRUE(Contains(names.output, "2 object(s)")) << names.output;

  ToolResult inside = RunTool(MakeUpdate("-o " + new_dir + "/u.qex " + old_dir + " " + new_dir));
  EXPECT_EQ(1, inside.exit_code);
  EXPECT_TRUE(Contains(inside.output, "must not be written inside " + new_dir)) << inside.output;
  EXPECT_FALSE(Exists(new_dir + "/u.qex"));

  // A directory that becomes a file would leave the backup of the directory.
  ScopedTempDir dir2;
  WriteFile(dir2.Sub("old/x/inside"), "in x");
  WriteFile(dir2.Sub("new/x"), "now a file");
  ToolResult type = RunTool(
      MakeUpdate("-o " + dir2.Sub("u.qex") + " " + dir2.Sub("old") + " " + dir2.Sub("new")));
  EXPECT_EQ(1, type.exit_code);
  EXPECT_TRUE(Contains(type.output, "the directory x becomes a file")) << type.output;

  // Identical trees, precomplete file included: the updater would refuse an
  // update without actions.
  WriteFile(old_dir + "/precomplete", "remove \"a\"\nremove \"precomplete\"\n");
  ToolResult same = RunTool(MakeUpdate("-o " + dir.Sub("s.qex") + " " + old_dir + " " + old_dir));
  EXPECT_EQ(1, same.exit_code) << same.output;
  EXPECT_TRUE(Contains(same.output, "nothing to update")) << same.output;
  EXPECT_FALSE(Exists(dir.Sub("s.qex")));
}

TEST(MakeUpdateTest, CommandLines) {
  for (const char* tool : {MAKE_UPDATE_BINARY, QXDIFF_BINARY}) {
    ToolResult help = RunTool(std::string(tool) + " --help");
    EXPECT_EQ(0, help.exit_code) << tool;
    EXPECT_TRUE(Contains(help.output, "usage:")) << help.output;
    EXPECT_EQ(1, RunTool(std::string(tool) + " --no-such-option a b c").exit_code) << tool;
    EXPECT_EQ(1, RunTool(std::string(tool)).exit_code) << tool;
  }
  ToolResult no_version = RunTool(std::string(MAKE_UPDATE_BINARY) + " /tmp /tmp");
  EXPECT_EQ(1, no_version.exit_code);
  EXPECT_TRUE(Contains(no_version.output, "--version is required")) << no_version.output;

  ScopedTempDir dir;
  WriteFile(dir.Sub("new"), "new bytes");
  ToolResult missing = RunTool(std::string(QXDIFF_BINARY) + " " + dir.Sub("absent") + " " +
                               dir.Sub("new") + " " + dir.Sub("p"));
  EXPECT_EQ(1, missing.exit_code);
  EXPECT_TRUE(Contains(missing.output, "qxdiff: cannot open " + dir.Sub("absent")))
      << missing.output;
  EXPECT_FALSE(Exists(dir.Sub("p")));
}

}  // namespace

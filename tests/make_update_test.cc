// make-update and qxdiff on generated trees; --verify applies the archives
// with the built updater and compares the result with the new tree.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/archive_test_util.h"
#include "archive/qex.h"
#include "testing/test_util.h"

using testing_util::Exists;
using testing_util::RandomBytes;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
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

ToolResult MakeUpdate(const std::string& args, const std::string& out, const std::string& old_dir,
                      const std::string& new_dir) {
  return RunTool(std::string(MAKE_UPDATE_BINARY) + " --product-version 2.0 " + args + " -o " + out +
                 " " + old_dir + " " + new_dir);
}

std::string EntryOf(const std::string& archive, const char* name) {
  ScopedTempDir dir;
  ArchiveReader reader;
  int rv = reader.Open(archive.c_str());
  if (rv == 0) rv = reader.ExtractToFile(name, dir.Sub("e").c_str());
  return rv == 0 ? ReadFile(dir.Sub("e")) : "";
}

nlohmann::json ParseJson(const std::string& file) {
  nlohmann::json json = nlohmann::json::parse(ReadFile(file), nullptr, false);
  EXPECT_FALSE(json.is_discarded()) << file << ":\n" << ReadFile(file);
  return json;
}

// Builds a tree below `root` from lines "path=contents" (a file, with the
// mode 0644 or the one given as "path@755=contents"), "path->link target" and
// "path" or "path@2775" (a directory).
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
    } else if (at != std::string::npos) {
      ASSERT_EQ(0, chmod(path.c_str(), std::stoi(line.substr(at + 1), nullptr, 8)));
    }
  }
}

void ExpectParts(const std::string& text, const std::vector<std::string>& parts,
                 bool present = true) {
  for (const std::string& part : parts)
    EXPECT_EQ(present, text.find(part) != std::string::npos) << part << "\n" << text;
}

TEST(MakeUpdateTest, PartialUpdateVerifiesAndVerifyNamesEveryDifference) {
  ScopedTempDir dir;
  const std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new"), out = dir.Sub("u.qex");
  std::string big = RandomBytes(300000, 1), changed = big;
  changed.replace(1000, 5, "CHANGE");
  WriteFile(old_dir + "/lib/big.so", big, 0755);
  WriteFile(new_dir + "/lib/big.so", changed + RandomBytes(500, 2), 0755);
  // A patched file would keep the installed file's mode.
  WriteFile(old_dir + "/bin/big", big, 0644);
  WriteFile(new_dir + "/bin/big", changed, 0755);
  MakeTree(old_dir, {"lib/small.txt=small old", "same/keep.txt=unchanged", "bin/tool=same bytes",
                     "gone/deeper/old.dat=gone", "gone/top.dat=gone too", "becomes_dir=a file",
                     "lib/removed.txt=removed", "empty-old=", "lib/big.link->big.so"});
  MakeTree(new_dir, {"lib/small.txt=something else entirely", "same/keep.txt=unchanged",
                     "bin/tool@755=same bytes", "new/dir/fresh.dat@600=fresh",
                     "becomes_dir/inside=then a directory",
                     "empty-old=", "lib/big.so.patch=a file where the patch entry would go",
                     "bin/run->tool", "dangling->nowhere", "lib/big.link->big.so"});
  // Links as copies of their targets; the same link on both sides, to a file
  // that the update patches, stays and names the patched file.
  const std::string links = "--copy-links " + kVerify;
  ToolResult r = MakeUpdate(links + "--json " + dir.Sub("s.json"), out, old_dir, new_dir);
  ASSERT_EQ(0, r.exit_code) << r.output;
  nlohmann::json summary = ParseJson(dir.Sub("s.json"));
  EXPECT_EQ(1, summary["counts"]["patched"]);
  EXPECT_EQ(9, summary["counts"]["added"]);
  EXPECT_EQ("lib/big.so", summary["largest_patches"][0]["path"]);
  ExpectParts(r.output, {"1 patched, 9 added, 4 removed, 2 directories removed, 3 unchanged",
                         "bin/tool stored whole (mode changes)", "verified",
                         "stored as a copy of its target: " + new_dir + "/bin/run -> tool",
                         "left out (dangling symbolic link): " + new_dir + "/dangling -> nowhere"});
  std::string manifest = EntryOf(out, "updatev3.manifest");
  EXPECT_EQ(0u, manifest.find("type \"partial\"\n")) << manifest;
  // The patch entry takes a name that no file entry has.
  ExpectParts(manifest,
              {"patch \"lib/big.so.patch.1\" \"lib/big.so\"\n", "add \"lib/big.so.patch\"\n"});
  ExpectParts(manifest, {"dangling", "big.link"}, false);
  // The next complete update removes this one's files, itself and its
  // directories, deepest first.
  ExpectParts(EntryOf(out, "precomplete"),
              {"remove \"precomplete\"\n", "rmdir \"new/dir/\"\nrmdir \"becomes_dir/\"\n"});

  // What no manifest can carry: an empty directory, a set-id bit and the mode
  // of a directory.
  MakeTree(new_dir, {"same/empty"});
  ASSERT_EQ(0, chmod((new_dir + "/lib/small.txt").c_str(), 02644));
  ASSERT_EQ(0, chmod((new_dir + "/same").c_str(), 0700));
  r = MakeUpdate(links, out, old_dir, new_dir);
  EXPECT_EQ(1, r.exit_code) << r.output;
  ExpectParts(r.output,
              {"empty directory same/empty is left out", "set-id and sticky bits",
               "verify: missing: same/empty", "verify: mode 0644 instead of 2644: lib/small.txt",
               "verify: mode 0755 instead of 0700: same\n", "3 difference(s)"});
  EXPECT_TRUE(Exists(out + ".verify/install/lib/big.so"));
}

// Links travel as links (relative, absolute, dangling, to directories, in
// place of files and back) and empty directories with their modes, partial
// and complete: --verify passes, and the updater turns a copy of the old tree
// into exactly the new one.
TEST(MakeUpdateTest, LinksAndEmptyDirectoriesTravel) {
  ScopedTempDir dir;
  const std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new"), inst = dir.Sub("inst");
  MakeTree(old_dir, {"lib/libx.so.1=1", "lib/libx.so->libx.so.1", "docs->/usr/share/doc",
                     "dang->nowhere", "ld->lib", "tofile->lib/libx.so.1", "tolink=a file",
                     "todir->lib", "gone->lib/libx.so.1", "share/keep=k", "kept@700"});
  MakeTree(new_dir, {"lib/libx.so.2=2", "lib/libx.so->libx.so.2", "docs->/usr/share/doc",
                     "conf->/nonexistent/app.conf", "dang->still/nowhere", "ld->lib",
                     "tofile=now a file", "tolink->lib/libx.so.2", "todir/f=now a dir",
                     "share/keep=k", "share/up->../lib", "var/a@2775", "var/a/b@700",
                     "var/a/b/c@755", "var/d@755", "var/e@711", "var/e/f=in e", "kept@700"});
  for (const std::string full : {"", "--full "}) {
    SCOPED_TRACE(full);
    if (!full.empty()) {
      ASSERT_EQ(0, MakeUpdate("--full", dir.Sub("v1.qex"), "", old_dir).exit_code);
      WriteFile(old_dir + "/precomplete", EntryOf(dir.Sub("v1.qex"), "precomplete"));
    }
    ToolResult r = MakeUpdate(full + kVerify + "--json " + dir.Sub("s.json"), dir.Sub("u.qex"),
                              old_dir, new_dir);
    ASSERT_EQ(0, r.exit_code) << r.output;
    ExpectParts(r.output, {"verified", "directories made: the archive needs an updater that"});
    EXPECT_EQ(true, ParseJson(dir.Sub("s.json"))["needs_newer_updater"]);
    ExpectParts(EntryOf(dir.Sub("u.qex"), "precomplete"),
                {"remove \"lib/libx.so\"\n", "remove \"share/up\"\n", "rmdir \"var/a/b/c/\"\n"});
    ASSERT_EQ(0, testing_util::RunCommand("rm -rf " + inst + " && cp -a " + old_dir + " " + inst +
                                          " && mkdir -p " + dir.Sub("up") + " && cp " +
                                          dir.Sub("u.qex") + " " + dir.Sub("up/update.qex")));
    ASSERT_EQ(0, testing_util::RunCommand("umask 0; " + std::string(UPDATER_BINARY) + " " +
                                          dir.Sub("up") + " " + inst + " 2>/dev/null"));
    auto installed = testing_util::SnapshotTree(inst);
    installed.erase("precomplete"), installed.erase("product-version");
    EXPECT_EQ("", testing_util::DiffSnapshots(testing_util::SnapshotTree(new_dir), installed));
  }
}

// Files with the same bytes and mode are compressed once and changes with the
// same old and new bytes patched once; the archive stores each payload once,
// whatever the modes, and both --verify and the updater's check accept it.
// Same sizes with other bytes, old or new, share nothing.
TEST(MakeUpdateTest, IdenticalContentsAreStoredOnce) {
  ScopedTempDir dir;
  const std::string old_dir = dir.Sub("old"), new_dir = dir.Sub("new"),
                    out = dir.Sub("up/update.qex");
  std::string big = RandomBytes(200000, 3), changed = big, other_old = big;
  changed.replace(500, 4, "EDIT");
  other_old[9000] ^= 1;
  for (const char* lib : {"a/lib.so", "b/lib.so", "c/lib.so", "d/lib.so"}) {
    WriteFile(old_dir + "/" + lib, lib[0] == 'd' ? other_old : big, 0755);
    WriteFile(new_dir + "/" + lib, changed, 0755);
  }
  MakeTree(new_dir, {"x/notes=same text", "y/notes=same text", "z/notes@600=same text",
                     "w/notes=same size", "e/lib.so->../a/lib.so"});
  WriteFile(old_dir + "/e/lib.so", big, 0755);  // a file that becomes a copied link
  ASSERT_EQ(0, mkdir(dir.Sub("up").c_str(), 0755));
  ToolResult r =
      MakeUpdate("--copy-links " + kVerify + "--json " + dir.Sub("s.json"), out, old_dir, new_dir);
  ASSERT_EQ(0, r.exit_code) << r.output;
  ExpectParts(r.output, {"5 patched, 6 added", "verified"});
  QexArchive* archive = qex_open(out.c_str());
  ASSERT_NE(archive, nullptr);
  auto range = [archive](const char* name) {
    QexEntry* e = qex_find_entry(archive, name);
    return e ? std::make_pair(e->offset, e->length) : std::make_pair(0u, 0u);
  };
  const auto patch = range("a/lib.so.patch"), notes = range("x/notes");
  EXPECT_NE(patch.second, 0u);
  for (const char* same : {"b/lib.so.patch", "c/lib.so.patch", "e/lib.so.patch"})
    EXPECT_EQ(patch, range(same)) << same;
  EXPECT_NE(patch, range("d/lib.so.patch"));
  EXPECT_TRUE(notes == range("y/notes") && notes == range("z/notes") && notes != range("w/notes"));
  ExpectParts(
      ReadFile(dir.Sub("s.json")),
      {"\"stored_patches\": " + std::to_string(patch.second + range("d/lib.so.patch").second)});
  qex_close(archive);
  r = RunTool(std::string(UPDATER_BINARY) + " --check " + dir.Sub("up") + " " + old_dir);
  EXPECT_EQ(0, r.exit_code) << r.output;
  ExpectParts(r.output, {"CRC 0x", "the update would succeed"});
}

TEST(MakeUpdateTest, CompleteUpdatesCleanUpThroughThePrecompleteFile) {
  ScopedTempDir dir;
  const std::string v1 = dir.Sub("v1"), v2 = dir.Sub("v2");
  // A signed update verifies only on an installation that records its version.
  MakeTree(v1, {"app/bin/run=v1", "app/data/old/a.dat=only in v1", "app/keep.dat=k",
                "product-version=1.0\n"});
  MakeTree(v2, {"app/bin/run=v2", "app/keep.dat=k", "app/lib/new.so=new"});
  // Without a precomplete file in the old tree, nothing removes what v2 no
  // longer has: the signed archive is not left behind, and the summary says
  // why.
  ASSERT_TRUE(archive_testing::MakeKeyPair(dir.Sub("k")));
  const std::string json = " --json " + dir.Sub("s.json") + " ";
  ToolResult r =
      MakeUpdate("--full --sign " + dir.Sub("k.pem") + json + kVerify, dir.Sub("u1.qex"), v1, v2);
  EXPECT_EQ(1, r.exit_code) << r.output;
  ExpectParts(r.output, {"verify: not in the new tree: app/data/old/a.dat"});
  EXPECT_FALSE(Exists(dir.Sub("u1.qex")));
  nlohmann::json summary = ParseJson(dir.Sub("s.json"));
  EXPECT_EQ(1, summary["exit_status"]);
  EXPECT_TRUE(summary["archive"].is_null());
  EXPECT_EQ(0, summary["archive_bytes"]);
  EXPECT_EQ("verify failed: 3 difference(s)", summary["errors"].back());
  // With the list that a complete update to v1 installs, all of it goes,
  // directories included.
  ASSERT_EQ(0, MakeUpdate("--full", dir.Sub("v1.qex"), "", v1).exit_code);
  WriteFile(v1 + "/precomplete", EntryOf(dir.Sub("v1.qex"), "precomplete"));
  r = MakeUpdate("--full " + kVerify, dir.Sub("u2.qex"), v1, v2);
  EXPECT_EQ(0, r.exit_code) << r.output;

  // Signed; the record of the version travels with the update.
  r = MakeUpdate("--full --sign " + dir.Sub("k.pem") + " " + kVerify, dir.Sub("u3.qex"), v1, v2);
  EXPECT_EQ(0, r.exit_code) << r.output;
  ExpectParts(r.output, {"signed " + dir.Sub("u3.qex") + " with 1 key(s)"});
  QexKeySet* keys = qex_read_public_keys(dir.Sub("k.pub").c_str());
  EXPECT_EQ(QEX_VERIFIED, qex_verify_archive(dir.Sub("u3.qex").c_str(), keys, nullptr, nullptr));
  qex_free_keys(keys);
  EXPECT_EQ("2.0\n", EntryOf(dir.Sub("u3.qex"), "product-version"));
  // The application id goes into the archive and the record, which the
  // updater then holds against archives of other applications.
  r = MakeUpdate("--full --app-id org.example.app " + kVerify, dir.Sub("u5.qex"), v1, v2);
  EXPECT_EQ(0, r.exit_code) << r.output;
  EXPECT_EQ("2.0\norg.example.app\n", EntryOf(dir.Sub("u5.qex"), "product-version"));
  ProductInfo info = {};
  ASSERT_EQ(0, read_product_info_block(dir.Sub("u5.qex").c_str(), &info));
  EXPECT_STREQ("org.example.app", info.app_id);
  qex_free_product_info(&info);
  WriteFile(v1 + "/product-version", "1.0\norg.example.other\n");
  r = MakeUpdate("--full --app-id org.example.app " + kVerify, dir.Sub("u6.qex"), v1, v2);
  EXPECT_EQ(1, r.exit_code);
  ExpectParts(r.output, {"status \"failed: 63\"", "refusing the application org.example.app"});
  // The updater refuses an update older than the installation.
  WriteFile(v1 + "/product-version", "3.0\n");
  r = MakeUpdate("--full " + kVerify, dir.Sub("u4.qex"), v1, v2);
  EXPECT_EQ(1, r.exit_code);
  EXPECT_FALSE(Exists(dir.Sub("u4.qex")));
  ExpectParts(r.output, {"status \"failed: 23\"", "older than the installed version 3.0"});
}

// A release tree given its first-installation files, then a complete update
// that drops a plugin: the update removes exactly what the new version no
// longer has. Without those files it still applies but removes nothing, and
// the log and both kinds of check say the dropped files stay.
TEST(MakeUpdateTest, FirstInstallFilesLetACompleteUpdateRemoveWhatItDrops) {
  ScopedTempDir dir;
  const std::string v1 = dir.Sub("v1"), v2 = dir.Sub("v2"), inst = dir.Sub("inst"),
                    up = dir.Sub("up"), id = " --app-id org.example.player ";
  MakeTree(v1, {"bin/player=1", "plugins/a.so=a", "plugins/old.so=old", "plugins/codec/x.so=x"});
  MakeTree(v2, {"bin/player=2", "plugins/a.so=a", "plugins/new.so=new"});
  ASSERT_EQ(0, MakeUpdate("--full" + id, dir.Sub("u.qex"), "", v2).exit_code);
  for (bool first_install : {true, false}) {
    SCOPED_TRACE(first_install);
    ASSERT_EQ(0, testing_util::RunCommand("rm -rf " + inst + " " + up + " && cp -a " + v1 + " " +
                                          inst + " && mkdir " + up + " && cp " + dir.Sub("u.qex") +
                                          " " + up + "/update.qex"));
    // What nothing removes stays; what the update carries replaces it.
    auto expected = testing_util::SnapshotTree(v2);
    if (first_install) {
      ToolResult r = RunTool(MAKE_UPDATE_BINARY " --first-install -p 1.0" + id + inst);
      ASSERT_EQ(0, r.exit_code) << r.output;
      EXPECT_EQ("1.0\norg.example.player\n", ReadFile(inst + "/product-version"));
      ExpectParts(ReadFile(inst + "/precomplete"),
                  {"remove \"precomplete\"\n", "remove \"product-version\"\n",
                   "remove \"plugins/codec/x.so\"\n", "rmdir \"plugins/codec/\"\n"});
    } else {
      const auto old = testing_util::SnapshotTree(v1);
      expected.insert(old.begin(), old.end());
    }
    const std::string dirs = " " + up + " " + inst;
    ToolResult text = RunTool(UPDATER_BINARY " --check" + dirs),
               json = RunTool(UPDATER_BINARY " --check --json" + dirs);
    EXPECT_EQ(0, text.exit_code) << text.output;
    nlohmann::json report = nlohmann::json::parse(json.output, nullptr, false);
    ASSERT_TRUE(report.is_object()) << json.output;
    EXPECT_EQ(true, report["would_succeed"]);
    EXPECT_EQ(first_install ? 0u : 1u, report["warnings"].size()) << json.output;
    ASSERT_EQ(0, testing_util::RunCommand("umask 0; " + std::string(UPDATER_BINARY) + " " + up +
                                          " " + inst + " 2>/dev/null"));
    auto installed = testing_util::SnapshotTree(inst);
    installed.erase("precomplete"), installed.erase("product-version");
    EXPECT_EQ("", testing_util::DiffSnapshots(expected, installed));
    const std::string dropped = "no precomplete file: the files the new version dropped stay";
    ExpectParts(text.output, {"warning: precomplete: " + dropped}, !first_install);
    ExpectParts(ReadFile(up + "/update.log"), {"warning: " + dropped}, !first_install);
  }
}

// --verify trusts the keys it signs with, and nothing the machine trusts: a
// release key and a settings file naming another channel beside the updater
// change nothing; the keys file of the updater's copy demands a version record.
TEST(MakeUpdateTest, VerifyTrustsOnlyTheKeysItSignsWith) {
  ScopedTempDir dir;
  const std::string updater = dir.Sub("bin/updater"), v1 = dir.Sub("v1"), v2 = dir.Sub("v2");
  ASSERT_EQ(0, testing_util::RunCommand("mkdir " + dir.Sub("bin") + " && cp " + UPDATER_BINARY +
                                        " " + updater));
  ASSERT_TRUE(archive_testing::MakeKeyPair(dir.Sub("release")));
  ASSERT_TRUE(archive_testing::MakeKeyPair(dir.Sub("test")));
  WriteFile(updater + ".keys", ReadFile(dir.Sub("release.pub")));
  WriteFile(updater + ".ini", "[Settings]\nAcceptedChannels=other\n");
  MakeTree(v1, {"a=1"});
  MakeTree(v2, {"a=2"});
  const std::string test_signed = "--sign " + dir.Sub("test.pem") + " ";
  const struct {
    std::string sign, version;
    int exit_code;
  } kCases[] = {{"", "", 0}, {test_signed, "1.0\n", 0}, {test_signed, "", 1}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sign + c.version);
    unlink((v1 + "/product-version").c_str());
    if (!c.version.empty()) WriteFile(v1 + "/product-version", c.version);
    ToolResult r = MakeUpdate(c.sign + "--verify --updater " + updater, dir.Sub("u.qex"), v1, v2);
    EXPECT_EQ(c.exit_code, r.exit_code) << r.output;
    if (c.exit_code) ExpectParts(r.output, {"status \"failed: 62\""});
  }
}

// Every JSON output parses, whatever the names hold: control bytes, double
// quotes, backslashes, and bytes that are not UTF-8, each written as U+FFFD.
TEST(MakeUpdateTest, JsonOutputsParseWhateverTheNamesHold) {
  ScopedTempDir dir;
  const std::string fffd = "\xef\xbf\xbd", odd = "\t\"\\\x01\x7f\xff",
                    odd_shown = "\t\"\\\x01\x7f" + fffd;
  // The manifest quotes its paths: a file name with a double quote is refused.
  const std::string name = "p\t\\\x1b\xfe", name_shown = "p\t\\\x1b" + fffd;
  std::string big = RandomBytes(300000, 3);
  WriteFile(dir.Sub("old/" + name), big);
  WriteFile(dir.Sub("new/" + name), big.replace(1000, 6, "CHANGE"));
  const std::string out = dir.Sub("o" + odd), inst = dir.Sub("i" + odd), upd = dir.Sub("u");
  const std::string json = dir.Sub("s.json"), check = dir.Sub("check.json");
  ToolResult r = MakeUpdate("--json " + json, "'" + out + "'", dir.Sub("old"), dir.Sub("new"));
  ASSERT_EQ(0, r.exit_code) << r.output;
  nlohmann::json summary = ParseJson(json);
  EXPECT_EQ(dir.Sub("o" + odd_shown), summary["archive"]);
  EXPECT_EQ(name_shown, summary["largest_patches"][0]["path"]);

  ASSERT_EQ(0, testing_util::RunCommand("cp -a " + dir.Sub("old") + " '" + inst + "' && mkdir " +
                                        upd + " && cp '" + out + "' " + upd + "/update.qex && " +
                                        UPDATER_BINARY + " --check --json " + upd + " '" + inst +
                                        "' >" + check));
  nlohmann::json report = ParseJson(check);
  EXPECT_EQ(inst.substr(0, inst.size() - odd.size()) + odd_shown, report["apply_to"]);
  EXPECT_EQ(1, std::count_if(report["actions"].begin(), report["actions"].end(),
                             [&](const nlohmann::json& a) { return a["path"] == name_shown; }));

  WriteFile(dir.Sub("new/q" + odd), "x");  // refused, and named in the errors
  r = MakeUpdate("--json " + json, "'" + out + "'", dir.Sub("old"), dir.Sub("new"));
  EXPECT_NE(std::string::npos,
            ParseJson(json)["errors"][0].get<std::string>().find(dir.Sub("new/q" + odd_shown)));
}

// Every refusal exits with 1 (3: nothing to update) and writes no archive.
// The commands run in the directory of the trees "old" and "new".
TEST(MakeUpdateTest, RefusalsAndCommandLines) {
  const std::string precomplete = "precomplete=remove \"a\"\nremove \"precomplete\"\n";
  const std::string mu = MAKE_UPDATE_BINARY " ", qx = QXDIFF_BINARY " ";
  const std::string partial = mu + "-p 2.0 -o u.qex old new",
                    copy = mu + "--copy-links --product-version 2.0 -o u.qex old new",
                    not_newer = "warning: the new version 2.0 is not newer than 10.1";
  // The longest path a manifest carries, 1011 bytes: its backup name fills the
  // updater's path buffer. Every component is under 256 bytes.
  std::string longest;
  while (longest.size() < 800) longest += std::string(200, 'd') + "/";
  longest += std::string(1011 - longest.size(), 'f');
  const struct {
    std::vector<std::string> new_tree;
    std::vector<std::string> expected;  // parts of the output
    std::string command;
    std::vector<std::string> old_tree = {"a=a"};
    int exit_code = 1;
  } cases[] = {
      {{"q->a\"b", "ok->a"},
       {"a symbolic link the manifest cannot carry: new/q -> a\"b",
        "1 object(s) above cannot be expressed by the manifest"},
       partial},
      // A link to a directory cannot be stored even as a copy.
      {{"d/f=in d", "dlink->d"},
       {"symbolic link to something other than a regular file: new/dlink -> d"},
       copy},
      // A link out of the tree would ship a file of this machine, with or without the option.
      {{"out->../old/a"}, {"symbolic link leading outside the tree: new/out -> ../old/a"}, copy},
      {{"notes..txt=dots", "say \"hi\"=quote", "ok=ok"},
       {"cannot carry (\"..\", a double quote, a line break or too long): new/notes..txt",
        "new/say \"hi\"", "2 object(s)"},
       partial},
      // Carried and applied, the old file moved to its backup on the way.
      {{longest + "=new"}, {}, partial + " -q " + kVerify, {longest + "=old"}, 0},
      {{longest + "g=new"}, {"or too long): new/" + longest + "g\n"}, partial, {longest + "=old"}},
      {{"b=b"},  // the old spelling
       {"the archive must not be written inside new",
        "warning: --version VERSION is now --product-version"},
       mu + "--version 2 -o new/u.qex old new"},
      // A directory that becomes a file would leave the backup of the directory.
      {{"x=now a file"}, {"the directory x becomes a file"}, partial, {"x/inside=in x"}},
      {{"x->a"}, {"the directory x becomes a symbolic link"}, partial, {"x/inside=in x"}},
      // The updater would refuse an update without actions.
      {{"a=a", precomplete}, {"nothing to update"}, partial, {"a=a", precomplete}, 3},
      {{"a=a"}, {"nothing to update"}, partial, {"a=a"}, 3},
      {{"a=b"}, {not_newer}, partial + " --from-version 10.1 -q", {"a=a"}, 0},
      {{}, {"--product-version is required"}, mu + "old new"},
      {{}, {"--app-id takes 1 to 127 letters"}, partial + " --app-id 9lives"},
      {{}, {"unknown option or missing value: --no-such"}, mu + "--no-such-option old new"},
      {{}, {"expected OLD_DIR NEW_DIR"}, mu},
      {{}, {"--first-install expects one DIR"}, mu + "--first-install -p 1.0 old new"},
      {{}, {"writes no archive: no --full"}, mu + "--first-install --full -p 1.0 new"},
      {{}, {"expected three arguments, got 0"}, qx},
      {{}, {"qxdiff: cannot open old/absent"}, qx + "old/absent old/a u.qex"},
  };
  for (const auto& c : cases) {
    ScopedTempDir dir;
    MakeTree(dir.Sub("old"), c.old_tree);
    MakeTree(dir.Sub("new"), c.new_tree);
    ToolResult r = RunTool("cd " + dir.path() + " && " + c.command);
    EXPECT_EQ(c.exit_code, r.exit_code) << c.command << "\n" << r.output;
    EXPECT_EQ(c.exit_code == 0, Exists(dir.Sub("u.qex")) || Exists(dir.Sub("new/u.qex")))
        << c.command;
    ExpectParts(r.output, c.expected);
    // The one success is quiet: warnings only.
    if (c.exit_code == 0) ExpectParts(r.output, {"partial update:", "wrote"}, false);
  }
}

// Every program: -h/--help and -V/--version print to standard output only and
// exit with 0; a wrong option is one line "program: message" on standard
// error and exit status 1.
TEST(MakeUpdateTest, EveryToolFollowsTheCommandLineConventions) {
  ScopedTempDir dir;
  const std::string out = dir.Sub("out"), err = dir.Sub("err");
  for (std::string tool : {QEX_BINARY, QXDIFF_BINARY, QXPATCH_BINARY, MAKE_UPDATE_BINARY}) {
    const std::string name = tool.substr(tool.rfind('/') + 1);
    const struct {
      const char* args;
      int exit_code;
      std::string out, err;  // the start of standard output; all of standard error
    } cases[] = {
        {"-h", 0, "usage: " + name, ""},
        {"--help", 0, "usage: " + name, ""},
        {"-V", 0, name + " " TOOLS_VERSION "\n", ""},
        {"--version", 0, name + " " TOOLS_VERSION "\n", ""},
        {"--no-such-option", 1, "", name + ": unknown option"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(name + " " + c.args);
      EXPECT_EQ(c.exit_code,
                testing_util::RunCommand(tool + " " + c.args + " >" + out + " 2>" + err));
      std::string text = ReadFile(out);
      for (char& ch : text) ch = static_cast<char>(tolower(ch));
      EXPECT_EQ(0u, text.rfind(c.out, 0)) << text;
      const std::string errors = ReadFile(err);
      EXPECT_EQ(0u, errors.rfind(c.err, 0)) << errors;
      EXPECT_EQ(c.err.empty() ? 0 : 1, std::count(errors.begin(), errors.end(), '\n')) << errors;
    }
  }
}

// SIGTERM in the middle of the work: the work directory goes with the process.
TEST(MakeUpdateTest, InterruptedRunLeavesNoWorkDirectory) {
  ScopedTempDir dir;
  std::string big = RandomBytes(8000000, 7);
  WriteFile(dir.Sub("old/big"), big);
  WriteFile(dir.Sub("new/big"), big.replace(4000000, 3, "new"));
  const std::string script = "cd " + dir.path() + " && { " + MAKE_UPDATE_BINARY +
                             " -q -p 2 -o u.qex old new & pid=$!; "
                             "while kill -0 $pid 2>/dev/null && ! ls -d .make-update-* "
                             ">/dev/null 2>&1; do sleep 0.01; done; kill -TERM $pid; wait $pid; }";
  EXPECT_EQ(128 + SIGTERM, testing_util::RunCommand("bash -c '" + script + "'"));
  EXPECT_NE(0, testing_util::RunCommand("ls -d " + dir.path() + "/.make-update-* 2>/dev/null"));
  EXPECT_FALSE(Exists(dir.Sub("u.qex")));
}

}  // namespace

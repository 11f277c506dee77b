#include "fileops/fileops.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fileops/fileops_test_util.h"
#include "testing/test_util.h"

using fileops_test::ChownTreeToNobody;
using fileops_test::kNobodyUnavailable;
using fileops_test::LogCapture;
using fileops_test::PathOfLength;
using fileops_test::RunHelperAsNobody;
using testing_util::Exists;
using testing_util::ModeOf;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

namespace {

std::vector<char> Buf(const std::string& s) { return std::vector<char>(s.begin(), s.end() + 1); }

std::string Err(int e) { return ", err: " + std::to_string(e); }

TEST(EnsureParentDirTest, CreatesMissingAncestorsAndRestoresPath) {
  ScopedTempDir dir;
  std::vector<char> plain = Buf("no-slash");
  EXPECT_EQ(ensure_parent_dir(plain.data()), 0);
  EXPECT_FALSE(Exists("no-slash"));

  std::string path = dir.Sub("a/b/c/file");
  std::vector<char> buf = Buf(path);
  EXPECT_EQ(ensure_parent_dir(buf.data()), 0);
  EXPECT_EQ(std::string(buf.data()), path);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(ModeOf(dir.Sub("a/b/c")), 0755u & ~mask);
  EXPECT_FALSE(Exists(path));

  // An existing entry of any type counts as created.
  WriteFile(dir.Sub("f"), "x");
  std::vector<char> under_file = Buf(dir.Sub("f/g"));
  EXPECT_EQ(ensure_parent_dir(under_file.data()), 0);
  std::vector<char> existing = Buf(dir.Sub("a/b/c/file"));
  EXPECT_EQ(ensure_parent_dir(existing.data()), 0);
}

TEST(EnsureParentDirTest, FailureIsLoggedAndStopsCreation) {
  ScopedTempDir dir;
  LogCapture log;
  // A path below a regular file: mkdir fails with ENOTDIR, not EEXIST.
  WriteFile(dir.Sub("f"), "x");
  std::string path = dir.Sub("f/g/h/i");
  std::vector<char> buf = Buf(path);
  EXPECT_EQ(ensure_parent_dir(buf.data()), 7);
  EXPECT_EQ(std::string(buf.data()), path);
  EXPECT_EQ(log.Text(), "ensure_parent_dir: failed to create directory: " + dir.Sub("f/g") +
                            Err(ENOTDIR) + "\n");
}

TEST(RenameFileTest, ReplacesFilesButNotNonEmptyDirectories) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("src"), "new", 0600);
  WriteFile(dir.Sub("dst"), "old", 0444);
  std::vector<char> dst = Buf(dir.Sub("dst"));
  EXPECT_EQ(rename_file(dir.Sub("src").c_str(), dst.data(), true), 0);
  EXPECT_EQ(ReadFile(dir.Sub("dst")), "new");
  EXPECT_EQ(ModeOf(dir.Sub("dst")), 0600u);
  EXPECT_FALSE(Exists(dir.Sub("src")));

  // Missing parents of the destination are made.
  WriteFile(dir.Sub("src"), "deep");
  std::vector<char> deep = Buf(dir.Sub("x/y/z"));
  EXPECT_EQ(rename_file(dir.Sub("src").c_str(), deep.data(), false), 0);
  EXPECT_EQ(ReadFile(dir.Sub("x/y/z")), "deep");

  LogCapture log;
  WriteFile(dir.Sub("src"), "keep");
  WriteFile(dir.Sub("full/inner"), "i");
  std::vector<char> full = Buf(dir.Sub("full"));
  EXPECT_EQ(rename_file(dir.Sub("src").c_str(), full.data(), true), 7);
  EXPECT_EQ(ReadFile(dir.Sub("src")), "keep");
  EXPECT_EQ(ReadFile(dir.Sub("full/inner")), "i");
  EXPECT_EQ(log.Text(), "ensure_remove: failed to remove file: " + dir.Sub("full") + ", rv: -1" +
                            Err(ENOTEMPTY) +
                            "\nrename_file: destination file exists and could not be removed: " +
                            dir.Sub("full") + "\n");
}

TEST(RenameFileTest, FileTypesAndMissingSource) {
  ScopedTempDir dir;
  LogCapture log;
  WriteFile(dir.Sub("d/inner"), "i");
  std::vector<char> moved = Buf(dir.Sub("moved"));
  EXPECT_EQ(rename_file(dir.Sub("d").c_str(), moved.data(), false), 0);
  EXPECT_EQ(ReadFile(dir.Sub("moved/inner")), "i");

  ASSERT_EQ(mkfifo(dir.Sub("pipe").c_str(), 0644), 0);
  std::vector<char> pipe_dst = Buf(dir.Sub("pipe2"));
  errno = 0;
  EXPECT_EQ(rename_file(dir.Sub("pipe").c_str(), pipe_dst.data(), true), 42);
  EXPECT_TRUE(Exists(dir.Sub("pipe")));
  EXPECT_EQ(rename_file(dir.Sub("pipe").c_str(), pipe_dst.data(), false), 0);
  EXPECT_TRUE(Exists(dir.Sub("pipe2")));

  EXPECT_EQ(rename_file(dir.Sub("missing").c_str(), pipe_dst.data(), false), 6);
  EXPECT_TRUE(Exists(dir.Sub("pipe2")));

  std::string text = log.Text();
  std::string expected_head =
      "rename_file: proceeding to rename the directory\n"
      "rename_file: path present, but not a file: " +
      dir.Sub("pipe") + ", err: ";
  ASSERT_EQ(text.substr(0, expected_head.size()), expected_head);
  std::string expected_tail =
      "\nrename_file: proceeding to rename the directory\n"
      "rename_file: failed to read file status info: " +
      dir.Sub("missing") + Err(ENOENT) + "\n";
  ASSERT_GE(text.size(), expected_tail.size());
  EXPECT_EQ(text.substr(text.size() - expected_tail.size()), expected_tail);
}

TEST(BackupTest, CreateRestoreDeleteRoundTrips) {
  ScopedTempDir dir;
  std::string path = dir.Sub("a.txt");
  std::string backup = path + ".quil-backup";
  WriteFile(path, "old", 0640);
  WriteFile(backup, "stale backup");
  ASSERT_EQ(backup_create(path.c_str()), 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(ReadFile(backup), "old");

  // Failed run: the backup goes back over the new file, mode and all.
  WriteFile(path, "new");
  ASSERT_EQ(backup_restore(path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(ModeOf(path), 0640u);
  EXPECT_FALSE(Exists(backup));

  // Successful run: the backup is deleted, also when read-only.
  chmod(path.c_str(), 0444);
  ASSERT_EQ(backup_create(path.c_str()), 0);
  WriteFile(path, "new");
  ASSERT_EQ(backup_delete(path.c_str()), 0);
  EXPECT_FALSE(Exists(backup));
  EXPECT_EQ(ReadFile(path), "new");

  // A removed file comes back even though nothing is at its path now.
  ASSERT_EQ(backup_create(path.c_str()), 0);
  ASSERT_EQ(backup_restore(path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "new");
}

TEST(BackupTest, FinishWithoutBackupIsHarmless) {
  ScopedTempDir dir;
  LogCapture log;
  std::string path = dir.Sub("never-backed-up");
  EXPECT_EQ(backup_delete(path.c_str()), 0);
  EXPECT_EQ(backup_restore(path.c_str()), 0);
  EXPECT_EQ(log.Text(), "backup_restore: backup file doesn't exist: " + path + ".quil-backup\n");
}

TEST(BackupTest, BackupOfLinkLeavesTargetAlone) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("target"), "t", 0444);
  ASSERT_EQ(symlink("target", dir.Sub("link").c_str()), 0);
  ASSERT_EQ(backup_create(dir.Sub("link").c_str()), 0);
  ASSERT_EQ(backup_delete(dir.Sub("link").c_str()), 0);
  EXPECT_FALSE(Exists(dir.Sub("link.quil-backup")));
  EXPECT_EQ(ModeOf(dir.Sub("target")), 0444u);
  EXPECT_EQ(ReadFile(dir.Sub("target")), "t");
}

TEST(BackupTest, LinkComesBackWhenItsTargetIsStillInBackup) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("lib.so.1"), "code");
  ASSERT_EQ(symlink("lib.so.1", dir.Sub("lib.so").c_str()), 0);
  ASSERT_EQ(backup_create(dir.Sub("lib.so").c_str()), 0);
  ASSERT_EQ(backup_create(dir.Sub("lib.so.1").c_str()), 0);
  // Restored in that order, the link's backup dangles at first.
  EXPECT_EQ(backup_restore(dir.Sub("lib.so").c_str()), 0);
  EXPECT_EQ(backup_restore(dir.Sub("lib.so.1").c_str()), 0);
  EXPECT_EQ(ReadFile(dir.Sub("lib.so")), "code");
  EXPECT_FALSE(Exists(dir.Sub("lib.so.quil-backup")));
}

TEST(BackupTest, BackupNameThatDoesNotFitTouchesNothing) {
  ScopedTempDir dir;
  // The backup name would be 1027 bytes; cut at 1023 it names `victim`.
  std::string path = PathOfLength(dir.path(), 1015);
  std::string victim = path + std::string(kBackupSuffix).substr(0, 8);
  ASSERT_EQ(victim.size(), 1023u);
  WriteFile(path, "file");
  WriteFile(victim, "unrelated");
  LogCapture log;
  EXPECT_EQ(backup_create(path.c_str()), 7);
  EXPECT_EQ(ReadFile(path), "file");
  EXPECT_EQ(ReadFile(victim), "unrelated");
  EXPECT_EQ(backup_restore(path.c_str()), 7);
  EXPECT_EQ(backup_delete(path.c_str()), 7);
  EXPECT_EQ(ReadFile(victim), "unrelated");
  EXPECT_EQ(ReadFile(path), "file");
  std::string full = path + ".quil-backup";
  EXPECT_EQ(log.Text(), "backup_create: backup path too long: " + full +
                            "\nbackup_restore: backup path too long: " + full +
                            "\nbackup_delete: backup path too long: " + full + "\n");

  // One byte shorter fits exactly.
  std::string fits = PathOfLength(dir.path(), 1011);
  WriteFile(fits, "fits");
  EXPECT_EQ(backup_create(fits.c_str()), 0);
  EXPECT_EQ(ReadFile(fits + ".quil-backup"), "fits");
}

TEST(EnsureRemoveTest, AddsOwnerWriteEvenWhenRemovalFails) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("ro"), "x", 0444);
  EXPECT_EQ(ensure_remove(dir.Sub("ro").c_str()), 0);
  EXPECT_FALSE(Exists(dir.Sub("ro")));

  LogCapture log;
  WriteFile(dir.Sub("d/inner"), "i");
  chmod(dir.Sub("d").c_str(), 0555);
  EXPECT_EQ(ensure_remove(dir.Sub("d").c_str()), -1);
  EXPECT_EQ(ModeOf(dir.Sub("d")), 0755u);
  EXPECT_EQ(log.Text(), "ensure_remove: failed to remove file: " + dir.Sub("d") + ", rv: -1" +
                            Err(ENOTEMPTY) + "\n");
}

TEST(EnsureRemoveRecursiveTest, RemovesTreeButNotLinkTargets) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("outside/keep.txt"), "keep", 0444);
  WriteFile(dir.Sub("tree/a/b/file"), "f", 0444);
  WriteFile(dir.Sub("tree/top"), "t");
  chmod(dir.Sub("tree/a/b").c_str(), 0555);
  ASSERT_EQ(symlink(dir.Sub("outside").c_str(), dir.Sub("tree/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("../../outside/keep.txt", dir.Sub("tree/a/filelink").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", dir.Sub("tree/dangling").c_str()), 0);

  LogCapture log;
  EXPECT_EQ(ensure_remove_recursive(dir.Sub("tree").c_str()), 0);
  EXPECT_FALSE(Exists(dir.Sub("tree")));
  EXPECT_EQ(ReadFile(dir.Sub("outside/keep.txt")), "keep");
  EXPECT_EQ(ModeOf(dir.Sub("outside/keep.txt")), 0444u);

  // A link to a directory given directly: only the link goes.
  ASSERT_EQ(symlink(dir.Sub("outside").c_str(), dir.Sub("link").c_str()), 0);
  EXPECT_EQ(ensure_remove_recursive(dir.Sub("link").c_str()), 0);
  EXPECT_FALSE(Exists(dir.Sub("link")));
  EXPECT_EQ(ReadFile(dir.Sub("outside/keep.txt")), "keep");

  EXPECT_EQ(ensure_remove_recursive(dir.Sub("missing").c_str()), -1);
  EXPECT_EQ(log.Text(), "");
}

TEST(EnsureRemoveRecursiveTest, EntryPathThatDoesNotFitStopsTheWalk) {
  ScopedTempDir dir;
  std::string deep = PathOfLength(dir.Sub("tree"), 1030);
  WriteFile(deep, "deep");
  LogCapture log;
  EXPECT_EQ(ensure_remove_recursive(dir.Sub("tree").c_str()), -1);
  EXPECT_EQ(ReadFile(deep), "deep");
  size_t slash = deep.rfind('/');
  EXPECT_EQ(log.Text(), "ensure_remove_recursive: path too long: " + deep.substr(0, slash) + "/" +
                            deep.substr(slash + 1) + "\n");
}

TEST(EnsureRemoveRecursiveTest, PermissionCasesAsOrdinaryUser) {
  ScopedTempDir dir;
  std::string home = dir.Sub("home");
  // No owner write on a directory: its first entry cannot go.
  WriteFile(home + "/ro/a", "a");
  chmod((home + "/ro").c_str(), 0555);
  // Read-only files in a writable directory go.
  WriteFile(home + "/rofiles/x", "x", 0444);
  // Not readable: the tree cannot be walked.
  WriteFile(home + "/noread/f", "f");
  chmod((home + "/noread").c_str(), 0300);
  if (!ChownTreeToNobody(home)) GTEST_SKIP() << "no user nobody to run as";

  LogCapture log;
  int rv = RunHelperAsNobody([&] { return ensure_remove_recursive((home + "/ro").c_str()); });
  if (rv == kNobodyUnavailable) GTEST_SKIP() << "cannot switch to the user nobody";
  EXPECT_EQ(rv, -1);
  EXPECT_TRUE(Exists(home + "/ro/a"));
  EXPECT_EQ(ModeOf(home + "/ro"), 0555u);

  EXPECT_EQ(RunHelperAsNobody([&] { return ensure_remove_recursive((home + "/rofiles").c_str()); }),
            0);
  EXPECT_FALSE(Exists(home + "/rofiles"));

  EXPECT_EQ(RunHelperAsNobody([&] { return ensure_remove_recursive((home + "/noread").c_str()); }),
            -1);
  EXPECT_TRUE(Exists(home + "/noread/f"));

  EXPECT_EQ(log.Text(), "ensure_remove: failed to remove file: " + home + "/ro/a, rv: -1" +
                            Err(EACCES) + "\nensure_remove_recursive: path is not a directory: " +
                            home + "/noread, rv: 0" + Err(EACCES) + "\n");
}

TEST(OpenWithModeTest, WriteModesSetExactModeWhateverTheUmask) {
  ScopedTempDir dir;
  mode_t old_mask = umask(0077);
  FILE* f = open_with_mode(dir.Sub("new").c_str(), "wb", S_IFREG | 0755);
  umask(old_mask);
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(ModeOf(dir.Sub("new")), 0755u);

  // Truncates a read-only file after making it writable.
  WriteFile(dir.Sub("ro"), "old contents", 0444);
  ScopedFile ro(open_with_mode(dir.Sub("ro").c_str(), "wb+", S_IFREG | 0640));
  ASSERT_TRUE(ro);
  ro.close();
  EXPECT_EQ(ReadFile(dir.Sub("ro")), "");
  EXPECT_EQ(ModeOf(dir.Sub("ro")), 0640u);

  // The mode read back cannot match a directory's type: null, file stays.
  EXPECT_EQ(open_with_mode(dir.Sub("typed").c_str(), "wb", S_IFDIR | 0755), nullptr);
  EXPECT_TRUE(Exists(dir.Sub("typed")));

  // A failed open re-modes nothing.
  ASSERT_EQ(mkdir(dir.Sub("d").c_str(), 0755), 0);
  EXPECT_EQ(open_with_mode(dir.Sub("d").c_str(), "wb", S_IFREG | 0600), nullptr);
  EXPECT_EQ(ModeOf(dir.Sub("d")), 0755u);
}

TEST(OpenWithModeTest, ReadModesOnlyAddOwnerWrite) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("ro"), "data", 0444);
  ScopedFile f(open_with_mode(dir.Sub("ro").c_str(), "rb", S_IFREG | 0777));
  ASSERT_TRUE(f);
  EXPECT_EQ(ModeOf(dir.Sub("ro")), 0644u);
  WriteFile(dir.Sub("g"), "data", 0640);
  ScopedFile g(open_with_mode(dir.Sub("g").c_str(), "r", S_IFREG | 0777));
  ASSERT_TRUE(g);
  EXPECT_EQ(ModeOf(dir.Sub("g")), 0640u);
  EXPECT_EQ(open_with_mode(dir.Sub("missing").c_str(), "rb", S_IFREG | 0644), nullptr);
  EXPECT_FALSE(Exists(dir.Sub("missing")));
}

TEST(MakeOwnerWritableTest, LeavesLinksAndTheirTargetsAlone) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("target"), "t", 0444);
  ASSERT_EQ(symlink("target", dir.Sub("link").c_str()), 0);
  make_owner_writable(dir.Sub("link").c_str());
  EXPECT_EQ(ModeOf(dir.Sub("target")), 0444u);
  make_owner_writable(dir.Sub("target").c_str());
  EXPECT_EQ(ModeOf(dir.Sub("target")), 0644u);
  make_owner_writable(dir.Sub("missing").c_str());
  EXPECT_FALSE(Exists(dir.Sub("missing")));
}

TEST(EnsureCopySymlinkTest, CopiesTargetTextAndRejectsLongTargets) {
  ScopedTempDir dir;
  ASSERT_EQ(symlink("../rel/target", dir.Sub("rel").c_str()), 0);
  EXPECT_EQ(ensure_copy_symlink(dir.Sub("rel").c_str(), dir.Sub("copy").c_str()), 0);
  char buf[64] = {};
  ASSERT_GT(readlink(dir.Sub("copy").c_str(), buf, sizeof(buf) - 1), 0);
  EXPECT_STREQ(buf, "../rel/target");

  std::string exact(1024, 'x');
  ASSERT_EQ(symlink(exact.c_str(), dir.Sub("exact").c_str()), 0);
  EXPECT_EQ(ensure_copy_symlink(dir.Sub("exact").c_str(), dir.Sub("exact2").c_str()), 0);
  std::vector<char> back(2048, 0);
  ASSERT_EQ(readlink(dir.Sub("exact2").c_str(), back.data(), back.size()), 1024);
  EXPECT_EQ(std::string(back.data()), exact);

  LogCapture log;
  ASSERT_EQ(symlink(std::string(1025, 'y').c_str(), dir.Sub("long").c_str()), 0);
  EXPECT_EQ(ensure_copy_symlink(dir.Sub("long").c_str(), dir.Sub("long2").c_str()), 6);
  EXPECT_FALSE(Exists(dir.Sub("long2")));
  EXPECT_EQ(ensure_copy_symlink(dir.Sub("rel").c_str(), dir.Sub("copy").c_str()), 6);
  WriteFile(dir.Sub("plain"), "p");
  EXPECT_EQ(ensure_copy_symlink(dir.Sub("plain").c_str(), dir.Sub("plain2").c_str()), 6);
  EXPECT_EQ(log.Text(),
            "ensure_copy_symlink: failed to read the link: " + dir.Sub("long") + Err(ENAMETOOLONG) +
                "\nensure_copy_symlink: failed to create the new link: " + dir.Sub("copy") +
                ", target: ../rel/target err: 17\n" +
                "ensure_copy_symlink: failed to read the link: " + dir.Sub("plain") + Err(EINVAL) +
                "\n");
}

}  // namespace

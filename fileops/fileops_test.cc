#include "fileops/fileops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "fileops/journal.h"
#include "testing/test_util.h"

using testing_util::Exists;
using testing_util::ModeOf;
using testing_util::ReadFile;
using testing_util::SnapshotTree;
using testing_util::WriteFile;

namespace {

class FileopsTest : public ::testing::Test {
 protected:
  std::string P(const std::string& rel) { return dir_.Sub(rel); }
  // A writable copy of P(rel), for the functions that cut paths in place.
  std::vector<char> Buf(const std::string& rel) {
    const std::string path = P(rel);
    return std::vector<char>(path.begin(), path.end() + 1);
  }
  int RmTree(const std::string& rel) { return ensure_remove_recursive(AT_FDCWD, P(rel).c_str()); }
  int Copy(const std::string& src, const std::string& dst) {
    return ensure_copy_recursive(AT_FDCWD, P(src).c_str(), P(dst).c_str(), skips_);
  }
  // A path below P(rel) of exactly `len` bytes (at most about 1200); its
  // directories are created, its last component (39 bytes or more) is not.
  std::string PathOfLength(const std::string& rel, size_t len) {
    std::string path = P(rel);
    for (mkdir(path.c_str(), 0755); path.size() + 240 < len; mkdir(path.c_str(), 0755))
      path += "/" + std::string(199, 'd');
    return path + "/" + std::string(len - path.size() - 1, 'f');
  }
  // Runs `fn` as "nobody" in a forked child, after giving P("home") to that
  // user: fn's result, or -2 when that is not possible. The result is passed
  // shifted by one, since the exit status 255 (-1) means the switch failed.
  int AsNobody(const std::function<int()>& fn) {
    if (testing_util::RunCommand("chown -hR nobody '" + P("home") + "'") != 0) return -2;
    int rc = testing_util::RunAsNobody([&fn] { return fn() + 1; });
    return rc < 0 ? -2 : rc - 1;
  }

  testing_util::ScopedTempDir dir_;
  char skips_[2][kMaxPath] = {"/nonexistent/a", "/nonexistent/b"};
};

TEST_F(FileopsTest, EnsureParentDirAndRenameFile) {
  mode_t old_mask = umask(022);
  std::vector<char> path = Buf("a/b/c/file"), under_file = Buf("f/g/h/i");
  EXPECT_EQ(ensure_parent_dir(AT_FDCWD, path.data()), 0);
  umask(old_mask);
  EXPECT_EQ(std::string(path.data()), P("a/b/c/file"));  // restored
  EXPECT_EQ(ModeOf(P("a/b/c")), 0755u);
  // Below a regular file mkdir fails with ENOTDIR, not EEXIST: creation stops.
  WriteFile(P("f"), "x");
  EXPECT_EQ(ensure_parent_dir(AT_FDCWD, under_file.data()), 7);
  EXPECT_EQ(std::string(under_file.data()), P("f/g/h/i"));

  WriteFile(P("src"), "new");
  WriteFile(P("dst"), "old", 0444);
  WriteFile(P("d/inner"), "i");
  ASSERT_EQ(mkfifo(P("pipe").c_str(), 0644), 0);
  std::vector<char> dst = Buf("dst"), deep = Buf("x/y/z"), moved = Buf("moved"), pipe = Buf("p2");
  EXPECT_EQ(rename_file(AT_FDCWD, P("src").c_str(), dst.data(), true), 0);
  EXPECT_EQ(rename_file(AT_FDCWD, P("dst").c_str(), deep.data(), false), 0);  // parents are made
  EXPECT_EQ(rename_file(AT_FDCWD, P("d").c_str(), moved.data(), true), 0);    // a directory passes
  // A non-empty directory in the way stays, and so does the source.
  EXPECT_EQ(rename_file(AT_FDCWD, P("x/y/z").c_str(), moved.data(), true), 7);
  EXPECT_EQ(ReadFile(P("x/y/z")) + ReadFile(P("moved/inner")), "newi");
  EXPECT_EQ(rename_file(AT_FDCWD, P("missing").c_str(), pipe.data(), false), 6);
  EXPECT_EQ(rename_file(AT_FDCWD, P("pipe").c_str(), pipe.data(), true), 42);
  EXPECT_EQ(rename_file(AT_FDCWD, P("pipe").c_str(), pipe.data(), false), 0);
  EXPECT_TRUE(Exists(P("p2")));
}

TEST_F(FileopsTest, Backups) {
  const std::string path = P("a.txt"), backup = path + ".quil-backup";
  WriteFile(path, "old", 0640);
  WriteFile(backup, "stale backup");
  ASSERT_EQ(backup_create(AT_FDCWD, path.c_str()), 0);
  EXPECT_FALSE(Exists(path));
  // Failed run: the backup goes back over the new file, mode and all.
  WriteFile(path, "new");
  ASSERT_EQ(backup_restore(AT_FDCWD, path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(ModeOf(path), 0640u);
  // Successful run: the backup is deleted, also when read-only.
  chmod(path.c_str(), 0444);
  ASSERT_EQ(backup_create(AT_FDCWD, path.c_str()), 0);
  WriteFile(path, "new");
  ASSERT_EQ(backup_delete(AT_FDCWD, path.c_str()), 0);
  EXPECT_FALSE(Exists(backup));
  // A removed file comes back although nothing is at its path now; without a
  // backup there is nothing to do.
  ASSERT_EQ(backup_create(AT_FDCWD, path.c_str()), 0);
  ASSERT_EQ(backup_restore(AT_FDCWD, path.c_str()), 0);
  EXPECT_EQ(backup_restore(AT_FDCWD, path.c_str()) + backup_delete(AT_FDCWD, path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "new");
  // A restore that cannot put the backup back fails and keeps it.
  ASSERT_EQ(backup_create(AT_FDCWD, path.c_str()), 0);
  WriteFile(path + "/inner", "i");
  EXPECT_EQ(backup_restore(AT_FDCWD, path.c_str()), 7);
  EXPECT_EQ(ReadFile(backup), "new");

  // Links: deleting a backup leaves the target alone; restored in this order,
  // the link's backup dangles at first.
  WriteFile(P("lib.so.1"), "code", 0444);
  ASSERT_EQ(symlink("lib.so.1", P("lib.so").c_str()), 0);
  ASSERT_EQ(symlink("lib.so.1", P("other").c_str()), 0);
  ASSERT_EQ(backup_create(AT_FDCWD, P("other").c_str()), 0);
  ASSERT_EQ(backup_delete(AT_FDCWD, P("other").c_str()), 0);
  EXPECT_EQ(ModeOf(P("lib.so.1")), 0444u);
  ASSERT_EQ(backup_create(AT_FDCWD, P("lib.so").c_str()), 0);
  ASSERT_EQ(backup_create(AT_FDCWD, P("lib.so.1").c_str()), 0);
  EXPECT_EQ(backup_restore(AT_FDCWD, P("lib.so").c_str()), 0);
  EXPECT_EQ(backup_restore(AT_FDCWD, P("lib.so.1").c_str()), 0);
  EXPECT_EQ(ReadFile(P("lib.so")), "code");
  EXPECT_FALSE(Exists(P("lib.so.quil-backup")) || Exists(P("other.quil-backup")));
}

TEST_F(FileopsTest, BackupNameThatDoesNotFitTouchesNothing) {
  // The backup name would be 1027 bytes; cut at 1023 it names `victim`.
  const std::string path = PathOfLength("t", 1015), fits = PathOfLength("t", 1011);
  const std::string victim = (path + ".quil-backup").substr(0, 1023);
  WriteFile(path, "file");
  WriteFile(victim, "unrelated");
  EXPECT_EQ(backup_create(AT_FDCWD, path.c_str()), 7);
  EXPECT_EQ(backup_restore(AT_FDCWD, path.c_str()), 7);
  EXPECT_EQ(backup_delete(AT_FDCWD, path.c_str()), 7);
  EXPECT_EQ(ReadFile(path) + ReadFile(victim), "fileunrelated");
  // One byte shorter fits exactly.
  WriteFile(fits, "fits");
  EXPECT_EQ(backup_create(AT_FDCWD, fits.c_str()), 0);
  EXPECT_EQ(ReadFile(fits + ".quil-backup"), "fits");
}

TEST_F(FileopsTest, Remove) {
  WriteFile(P("outside/keep"), "keep", 0444);
  WriteFile(P("tree/a/b/file"), "f", 0444);
  chmod(P("tree/a/b").c_str(), 0555);
  ASSERT_EQ(symlink(P("outside").c_str(), P("tree/a/dirlink").c_str()), 0);
  ASSERT_EQ(symlink("../../outside/keep", P("tree/a/filelink").c_str()), 0);
  ASSERT_EQ(symlink(P("outside").c_str(), P("link").c_str()), 0);
  WriteFile(P("d/inner"), "i");
  chmod(P("d").c_str(), 0555);
  const std::string deep = PathOfLength("long", 1030);
  WriteFile(deep, "deep");
  EXPECT_EQ(RmTree("tree"), 0);
  EXPECT_EQ(RmTree("link"), 0);  // only the link goes
  EXPECT_FALSE(Exists(P("tree")) || Exists(P("link")));
  EXPECT_EQ(ReadFile(P("outside/keep")), "keep");
  EXPECT_EQ(ModeOf(P("outside/keep")), 0444u);
  EXPECT_EQ(RmTree("missing"), -1);
  // The walk forms no paths: one longer than any buffer is no limit.
  EXPECT_EQ(RmTree("long"), 0);
  EXPECT_FALSE(Exists(P("long")));
  // A failed remove still leaves owner write behind.
  EXPECT_EQ(ensure_remove(AT_FDCWD, P("d").c_str()), -1);
  EXPECT_EQ(ModeOf(P("d")), 0755u);
}

// Permissions, which root bypasses, checked as an ordinary user.
TEST_F(FileopsTest, RemoveAndCopyAsOrdinaryUser) {
  WriteFile(P("home/ro/a"), "a");  // no owner write on the directory
  chmod(P("home/ro").c_str(), 0555);
  WriteFile(P("home/rofiles/x"), "x", 0444);  // read-only files in a writable one go
  WriteFile(P("home/noread/f"), "f");         // cannot be walked or copied
  chmod(P("home/noread").c_str(), 0300);
  WriteFile(P("home/src/secret"), "s", 0200);
  int rv = AsNobody([&] { return RmTree("home/ro"); });
  if (rv == -2) GTEST_SKIP() << "cannot run as the user nobody";
  EXPECT_EQ(rv, -1);
  EXPECT_TRUE(Exists(P("home/ro/a")));
  EXPECT_EQ(ModeOf(P("home/ro")), 0555u);
  EXPECT_EQ(AsNobody([&] { return RmTree("home/rofiles"); }), 0);
  EXPECT_FALSE(Exists(P("home/rofiles")));
  EXPECT_EQ(AsNobody([&] { return RmTree("home/noread"); }), -1);
  EXPECT_TRUE(Exists(P("home/noread/f")));
  EXPECT_EQ(AsNobody([&] { return Copy("home/src", "home/dst"); }), 6);
  EXPECT_EQ(AsNobody([&] { return Copy("home/noread", "home/dst2"); }), 6);
}

TEST_F(FileopsTest, CopyTreeKeepsLinksAndExactFileModes) {
  const std::string exact(1024, 'x');
  WriteFile(P("src/exec"), "#!/bin/sh\n", 0755);
  WriteFile(P("src/sub/deeper/big"), testing_util::RandomBytes(100000, 7), 0640);
  WriteFile(P("src/sub/empty"), "", 0666);
  chmod(P("src/sub").c_str(), 0770);
  ASSERT_EQ(symlink("sub/empty", P("src/rel").c_str()), 0);
  ASSERT_EQ(symlink(exact.c_str(), P("src/sub/exact").c_str()), 0);  // the longest target
  ASSERT_EQ(symlink(std::string(1025, 'y').c_str(), P("long").c_str()), 0);
  mode_t old_mask = umask(022);
  EXPECT_EQ(Copy("src", "dst"), 0);
  umask(old_mask);
  auto src = SnapshotTree(P("src")), dst = SnapshotTree(P("dst"));
  EXPECT_EQ(src["sub/exact"], "link " + exact);
  // Files keep their exact bits; directories lose the umask's.
  EXPECT_EQ(ModeOf(P("dst/sub")), 0750u);
  dst["sub"] = src["sub"];
  EXPECT_EQ(testing_util::DiffSnapshots(src, dst), "");
  EXPECT_EQ(ensure_copy_symlink(AT_FDCWD, P("long").c_str(), P("long2").c_str()), 6);
  EXPECT_FALSE(Exists(P("long2")));

  // Skip paths match in any letter case, but only as a whole.
  std::string upper = P("src/sub");
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  snprintf(skips_[0], kMaxPath, "%s", upper.c_str());
  snprintf(skips_[1], kMaxPath, "%s/", P("src/exec").c_str());
  ASSERT_EQ(Copy("src", "skipped"), 0);
  EXPECT_TRUE(!Exists(P("skipped/sub")) && Exists(P("skipped/exec")));
}

TEST_F(FileopsTest, CopyFailures) {
  WriteFile(P("file"), "f");
  WriteFile(P("src/name"), "n");
  ASSERT_EQ(mkdir(P("fifo").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(P("fifo/pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("elsewhere", P("link").c_str()), 0);
  const std::string deep = PathOfLength("deep", 1030), long_dst = PathOfLength("dst", 1020);
  WriteFile(deep, "deep");
  EXPECT_EQ(Copy("missing", "out"), 6);
  EXPECT_EQ(ensure_copy(AT_FDCWD, P("missing").c_str(), P("out").c_str()), 6);
  EXPECT_EQ(Copy("src", "file/sub"), 7);
  EXPECT_EQ(ensure_copy(AT_FDCWD, P("file").c_str(), P("src").c_str()), 7);
  EXPECT_EQ(Copy("link", "link"), 6);  // not onto an existing link
  // Opening the pipe for reading would wait for a writer for ever.
  EXPECT_EQ(Copy("fifo", "fifo2"), 7);
  EXPECT_FALSE(Exists(P("out")) || Exists(P("fifo2/pipe")));
  // Child paths that do not fit stop the copy.
  EXPECT_EQ(Copy("deep", "d"), 6);
  EXPECT_EQ(ensure_copy_recursive(AT_FDCWD, P("src").c_str(), long_dst.c_str(), skips_), 7);
}

// Names swapped for links between two calls of a walk: the removal goes on in
// the directory it opened, the copy never reads through a link nor writes
// through one, and nothing outside the trees changes.
TEST_F(FileopsTest, WalksNeverFollowNamesSwappedForLinks) {
  WriteFile(P("outside/secret"), "root's", 0600);
  WriteFile(P("outside/sub/keep"), "keep");
  const auto outside = SnapshotTree(P("outside"));
  WriteFile(P("tree/sub/keep"), "the tree's");
  ScopedFd top(open(P("").c_str(), O_PATH | O_DIRECTORY));
  ScopedFd tree(openat(top.get(), "tree", O_RDONLY | O_DIRECTORY));
  ASSERT_EQ(rename(P("tree").c_str(), P("moved").c_str()), 0);
  ASSERT_EQ(symlink(P("outside").c_str(), P("tree").c_str()), 0);
  EXPECT_EQ(remove_entries_at(tree.get(), nullptr), 0);
  EXPECT_FALSE(Exists(P("moved/sub")));
  EXPECT_EQ(remove_tree_at(top.get(), "tree"), 0);  // the link alone
  EXPECT_EQ(remove_tree_keeping(AT_FDCWD, P("moved").c_str(), "x"), 0);

  // A source link to a root-only file is copied as the link; destination
  // names that are links are replaced (by a file) or refused (as a directory).
  WriteFile(P("src/flip"), "source");
  ASSERT_EQ(symlink(P("outside/secret").c_str(), P("src/link").c_str()), 0);
  ASSERT_EQ(mkdir(P("dst").c_str(), 0755), 0);
  ASSERT_EQ(symlink(P("outside/secret").c_str(), P("dst/flip").c_str()), 0);
  EXPECT_EQ(Copy("src", "dst"), 0);
  auto dst = SnapshotTree(P("dst"));
  EXPECT_EQ(dst["link"], "link " + P("outside/secret"));
  EXPECT_EQ(dst["flip"], "file 0644 source");
  WriteFile(P("src2/sub/file"), "source");
  ASSERT_EQ(mkdir(P("dst2").c_str(), 0755), 0);
  ASSERT_EQ(symlink(P("outside/sub").c_str(), P("dst2/sub").c_str()), 0);
  EXPECT_EQ(Copy("src2", "dst2"), 7);
  EXPECT_EQ(SnapshotTree(P("outside")), outside);
}

// ensure_copy in a child whose files may not grow past `limit` bytes.
int CopyWithFileSizeLimit(const std::string& src, const std::string& dst, rlim_t limit) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(ensure_copy(AT_FDCWD, src.c_str(), dst.c_str()));
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Contents are copied in the kernel where it can, through the buffer where it
// cannot (a file whose size reads as 0, a destination that stops taking
// bytes); either way the bytes and the result are the same.
TEST_F(FileopsTest, KernelCopyAndBufferGiveTheSameBytesAndFailures) {
  const std::string big = testing_util::RandomBytes(3 << 20, 12);
  WriteFile(P("big"), big, 0640);
  WriteFile(P("copy"), big + big, 0600);  // longer: must be cut
  EXPECT_EQ(ensure_copy(AT_FDCWD, P("big").c_str(), P("copy").c_str()), 0);
  EXPECT_TRUE(ReadFile(P("copy")) == big);
  EXPECT_EQ(ModeOf(P("copy")), 0640u);
  EXPECT_EQ(ensure_copy(AT_FDCWD, "/proc/version", P("version").c_str()), 0);  // size 0, not empty
  EXPECT_EQ(ReadFile(P("version")), ReadFile("/proc/version"));
  // A write failure part-way, and one that shows only when the last buffered
  // bytes are written at close.
  WriteFile(P("small"), "small");
  EXPECT_EQ(CopyWithFileSizeLimit(P("big"), P("limited"), 1 << 20), kWriteError);
  EXPECT_EQ(CopyWithFileSizeLimit(P("small"), P("limited"), 0), kWriteError);
}

}  // namespace

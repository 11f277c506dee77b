#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <string>

#include "fileops/fileops.h"
#include "fileops/fileops_test_util.h"
#include "testing/test_util.h"

using fileops_test::ChownTreeToNobody;
using fileops_test::kNobodyUnavailable;
using fileops_test::LogCapture;
using fileops_test::PathOfLength;
using fileops_test::RunHelperAsNobody;
using testing_util::DiffSnapshots;
using testing_util::Exists;
using testing_util::ModeOf;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::SnapshotTree;
using testing_util::WriteFile;

namespace {

class CopyTest : public ::testing::Test {
 protected:
  // Skip paths that match nothing unless a test sets them.
  void SetSkips(const std::string& a, const std::string& b) {
    snprintf(skips_[0], kMaxPath, "%s", a.c_str());
    snprintf(skips_[1], kMaxPath, "%s", b.c_str());
  }
  int Copy(const std::string& src, const std::string& dst) {
    return ensure_copy_recursive(src.c_str(), dst.c_str(), skips_);
  }
  // The source tree of most cases: files of several modes, a large file, and
  // links of every kind.
  void MakeSourceTree() {
    WriteFile(dir_.Sub("src/exec"), "#!/bin/sh\n", 0755);
    WriteFile(dir_.Sub("src/private"), "secret", 0600);
    WriteFile(dir_.Sub("src/sub/deeper/big"), testing_util::RandomBytes(100000, 7), 0640);
    WriteFile(dir_.Sub("src/sub/empty"), "", 0644);
    chmod(dir_.Sub("src/sub").c_str(), 0750);
    WriteFile(dir_.Sub("outside/o"), "o");
    ASSERT_EQ(symlink("sub/empty", dir_.Sub("src/rel").c_str()), 0);
    ASSERT_EQ(symlink(dir_.Sub("outside").c_str(), dir_.Sub("src/sub/dirlink").c_str()), 0);
    ASSERT_EQ(symlink("missing/target", dir_.Sub("src/dangling").c_str()), 0);
  }

  ScopedTempDir dir_;
  char skips_[2][kMaxPath] = {"/nonexistent/a", "/nonexistent/b"};
};

TEST_F(CopyTest, CopiesTreeWithLinksAndExactFileModesWhateverTheUmask) {
  MakeSourceTree();
  mode_t old_mask = umask(0);
  EXPECT_EQ(Copy(dir_.Sub("src"), dir_.Sub("open")), 0);
  umask(0077);
  EXPECT_EQ(Copy(dir_.Sub("src"), dir_.Sub("strict")), 0);
  umask(old_mask);

  auto src = SnapshotTree(dir_.Sub("src"));
  EXPECT_EQ(DiffSnapshots(src, SnapshotTree(dir_.Sub("open"))), "");
  // The link to a directory was copied as a link, not descended into.
  EXPECT_EQ(src["sub/dirlink"], "link " + dir_.Sub("outside"));

  // Files keep their exact bits; directories lose the umask's.
  auto strict = SnapshotTree(dir_.Sub("strict"));
  EXPECT_EQ(strict["exec"], src["exec"]);
  EXPECT_EQ(strict["private"], src["private"]);
  EXPECT_EQ(strict["sub/deeper/big"], src["sub/deeper/big"]);
  EXPECT_EQ(strict["dangling"], "link missing/target");
  EXPECT_EQ(ModeOf(dir_.Sub("strict")), 0700u);
  EXPECT_EQ(ModeOf(dir_.Sub("strict/sub")), 0700u);
}

TEST_F(CopyTest, SkipPathsMatchInAnyLetterCaseButNotWithTrailingSlash) {
  WriteFile(dir_.Sub("src/updated/staged"), "s");
  WriteFile(dir_.Sub("src/updates/0/payload"), "p");
  WriteFile(dir_.Sub("src/updates/1/payload"), "p");
  WriteFile(dir_.Sub("src/Keep"), "k");
  std::string upper = dir_.Sub("src/UPDATED");
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  SetSkips(upper, dir_.Sub("src/Updates/0"));
  ASSERT_EQ(Copy(dir_.Sub("src"), dir_.Sub("dst")), 0);
  EXPECT_FALSE(Exists(dir_.Sub("dst/updated")));
  EXPECT_FALSE(Exists(dir_.Sub("dst/updates/0")));
  EXPECT_EQ(ReadFile(dir_.Sub("dst/updates/1/payload")), "p");
  EXPECT_EQ(ReadFile(dir_.Sub("dst/Keep")), "k");

  SetSkips(dir_.Sub("src/updated/"), dir_.Sub("src/Kee"));
  ASSERT_EQ(Copy(dir_.Sub("src"), dir_.Sub("dst2")), 0);
  EXPECT_EQ(ReadFile(dir_.Sub("dst2/updated/staged")), "s");
  EXPECT_EQ(ReadFile(dir_.Sub("dst2/Keep")), "k");
}

TEST_F(CopyTest, MergesIntoExistingTreeButNotOntoExistingLinks) {
  WriteFile(dir_.Sub("src/a/file"), "new", 0640);
  WriteFile(dir_.Sub("dst/a/file"), "older and longer", 0444);
  WriteFile(dir_.Sub("dst/a/extra"), "x");
  chmod(dir_.Sub("dst/a").c_str(), 0700);
  ASSERT_EQ(Copy(dir_.Sub("src"), dir_.Sub("dst")), 0);
  EXPECT_EQ(ReadFile(dir_.Sub("dst/a/file")), "new");
  EXPECT_EQ(ModeOf(dir_.Sub("dst/a/file")), 0640u);
  EXPECT_EQ(ReadFile(dir_.Sub("dst/a/extra")), "x");
  EXPECT_EQ(ModeOf(dir_.Sub("dst/a")), 0700u);

  ASSERT_EQ(mkdir(dir_.Sub("empty").c_str(), 0755), 0);
  EXPECT_EQ(Copy(dir_.Sub("empty"), dir_.Sub("dst")), 0);

  ASSERT_EQ(symlink("a/file", dir_.Sub("src/link").c_str()), 0);
  ASSERT_EQ(symlink("elsewhere", dir_.Sub("dst/link").c_str()), 0);
  LogCapture log;
  EXPECT_EQ(Copy(dir_.Sub("src/link"), dir_.Sub("dst/link")), 6);
  EXPECT_EQ(log.Text(),
            "ensure_copy_symlink: failed to create the new link: " + dir_.Sub("dst/link") +
                ", target: a/file err: " + std::to_string(EEXIST) + "\n");
}

TEST_F(CopyTest, ReadOnlySourceGainsOwnerWriteAndCopyKeepsItsMode) {
  WriteFile(dir_.Sub("ro"), "r", 0444);
  ASSERT_EQ(ensure_copy(dir_.Sub("ro").c_str(), dir_.Sub("copy").c_str()), 0);
  EXPECT_EQ(ModeOf(dir_.Sub("ro")), 0644u);
  EXPECT_EQ(ModeOf(dir_.Sub("copy")), 0444u);
  EXPECT_EQ(ReadFile(dir_.Sub("copy")), "r");
  // Copying again over the read-only copy works.
  WriteFile(dir_.Sub("ro"), "second", 0444);
  ASSERT_EQ(ensure_copy(dir_.Sub("ro").c_str(), dir_.Sub("copy").c_str()), 0);
  EXPECT_EQ(ReadFile(dir_.Sub("copy")), "second");
}

TEST_F(CopyTest, FailuresAreLoggedWithTheirCodes) {
  WriteFile(dir_.Sub("file"), "f");
  ASSERT_EQ(mkdir(dir_.Sub("adir").c_str(), 0755), 0);
  WriteFile(dir_.Sub("src/x"), "x");
  LogCapture log;
  EXPECT_EQ(Copy(dir_.Sub("missing"), dir_.Sub("out")), 6);
  EXPECT_EQ(ensure_copy(dir_.Sub("missing").c_str(), dir_.Sub("out").c_str()), 6);
  EXPECT_EQ(Copy(dir_.Sub("src"), dir_.Sub("file/sub")), 7);
  EXPECT_EQ(ensure_copy(dir_.Sub("file").c_str(), dir_.Sub("adir").c_str()), 7);
  EXPECT_EQ(ModeOf(dir_.Sub("adir")), 0755u);
  EXPECT_FALSE(Exists(dir_.Sub("out")));
  EXPECT_EQ(log.Text(),
            "ensure_copy_recursive: path doesn't exist: " + dir_.Sub("missing") +
                ", rv: -1, err: " + std::to_string(ENOENT) +
                "\nensure_copy: failed to read file status info: " + dir_.Sub("missing") +
                ", err: " + std::to_string(ENOENT) +
                "\nensure_copy_recursive: could not create destination directory: " +
                dir_.Sub("file/sub") + ", rv: -1, err: " + std::to_string(ENOTDIR) +
                "\nensure_copy: failed to open the file for writing: " + dir_.Sub("adir") +
                ", err: " + std::to_string(EISDIR) + "\n");
}

TEST_F(CopyTest, UnreadableSourcesAsOrdinaryUser) {
  std::string home = dir_.Sub("home");
  WriteFile(home + "/src/secret", "s", 0200);
  WriteFile(home + "/closed/f", "f");
  chmod((home + "/closed").c_str(), 0300);
  if (!ChownTreeToNobody(home)) GTEST_SKIP() << "no user nobody to run as";
  LogCapture log;
  int rv = RunHelperAsNobody([&] { return Copy(home + "/src", home + "/dst"); });
  if (rv == kNobodyUnavailable) GTEST_SKIP() << "cannot switch to the user nobody";
  EXPECT_EQ(rv, 6);
  EXPECT_EQ(RunHelperAsNobody([&] { return Copy(home + "/closed", home + "/dst2"); }), 6);
  EXPECT_EQ(log.Text(), "ensure_copy: failed to open the file for reading: " + home +
                            "/src/secret, err: " + std::to_string(EACCES) +
                            "\nensure_copy_recursive: path is not a directory: " + home +
                            "/closed, rv: 0, err: " + std::to_string(EACCES) + "\n");
}

TEST_F(CopyTest, PipesAndDevicesFailWithoutBlocking) {
  ASSERT_EQ(mkdir(dir_.Sub("src").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir_.Sub("src/pipe").c_str(), 0644), 0);
  LogCapture log;
  // Opening the pipe for reading would wait for a writer for ever.
  EXPECT_EQ(Copy(dir_.Sub("src"), dir_.Sub("dst")), 7);
  EXPECT_FALSE(Exists(dir_.Sub("dst/pipe")));
  EXPECT_EQ(log.Text(), "ensure_copy: not a regular file: " + dir_.Sub("src/pipe") + "\n");

  if (mknod(dir_.Sub("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot create a device node here";
  }
  EXPECT_EQ(ensure_copy(dir_.Sub("null").c_str(), dir_.Sub("null-copy").c_str()), 7);
  EXPECT_FALSE(Exists(dir_.Sub("null-copy")));
}

TEST_F(CopyTest, ChildPathsThatDoNotFitStopTheCopy) {
  std::string deep = PathOfLength(dir_.Sub("src"), 1030);
  WriteFile(deep, "deep");
  size_t slash = deep.rfind('/');
  LogCapture log;
  EXPECT_EQ(Copy(dir_.Sub("src"), dir_.Sub("d")), 6);

  WriteFile(dir_.Sub("short/name"), "n");
  std::string long_dst = PathOfLength(dir_.Sub("dst"), 1020);
  EXPECT_EQ(Copy(dir_.Sub("short"), long_dst), 7);
  EXPECT_TRUE(Exists(long_dst));
  EXPECT_EQ(log.Text(), "ensure_copy_recursive: path too long: " + deep.substr(0, slash) + "/" +
                            deep.substr(slash + 1) +
                            "\nensure_copy_recursive: path too long: " + long_dst + "/name\n");
}

// Contents are copied in the kernel where it can, through the buffer where it
// cannot (a file whose size reads as 0, a destination that stops taking
// bytes); either way the bytes and the result are the same.
TEST(EnsureCopyTest, KernelCopyAndBufferGiveTheSameBytesAndFailures) {
  ScopedTempDir dir;
  const std::string big = testing_util::RandomBytes(3 << 20, 12);
  WriteFile(dir.Sub("big"), big, 0640);
  WriteFile(dir.Sub("copy"), big + big, 0600);  // longer: must be cut
  EXPECT_EQ(ensure_copy(dir.Sub("big").c_str(), dir.Sub("copy").c_str()), 0);
  EXPECT_TRUE(ReadFile(dir.Sub("copy")) == big);
  EXPECT_EQ(ModeOf(dir.Sub("copy")), 0640u);

  // /proc files report a size of 0 but have contents.
  const std::string proc = ReadFile("/proc/version");
  if (!proc.empty()) {
    EXPECT_EQ(ensure_copy("/proc/version", dir.Sub("version").c_str()), 0);
    EXPECT_EQ(ReadFile(dir.Sub("version")), proc);
  }

  // A file size limit stops the destination part-way: a write failure (7).
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(ensure_copy(dir.Sub("big").c_str(), dir.Sub("limited").c_str()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kWriteError);
}

}  // namespace

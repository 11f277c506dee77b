// Disk full for real: the mixed update into a tmpfs too small for it, for a
// range of sizes that moves the point of exhaustion through the whole run, and
// the same under a file-size limit. Every run must end fully updated or with
// the installation exactly as before.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "testing/test_util.h"
#include "tests/fault_update.h"

namespace {

using fault_testing::Judge;
using fault_testing::MixedUpdate;
using fault_testing::RunOptions;
using fault_testing::RunOutcome;
using fault_testing::Snapshot;
using fault_testing::Verdict;

// A tmpfs of `kib` KiB mounted on `dir` for the object's lifetime.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& dir, long kib) : dir_(dir) {
    std::string options = "size=" + std::to_string(kib) + "k,mode=0755";
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    error_ = mounted_ ? 0 : errno;
  }
  ~ScopedTmpfs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  int error() const { return error_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  int error_ = 0;
};

class DiskFullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The states before and after a clean run, on an ordinary file system.
    MixedUpdate reference(root_.Sub("reference/app"), root_.Sub("upd"));
    ASSERT_TRUE(reference.WriteArchive());
    ASSERT_TRUE(reference.MakeInstallation());
    original_ = reference.Installation();
    RunOutcome clean = fault_testing::RunUpdater(UPDATER_BINARY, reference.Args());
    ASSERT_EQ(clean.exit_code, 0) << reference.Log();
    updated_ = reference.Installation();
    mkdir(root_.Sub("mnt").c_str(), 0755);
  }

  // One run; returns whether it succeeded. Records the failure codes seen.
  bool RunAndJudge(const MixedUpdate& update, const RunOptions& options, const std::string& what) {
    RunOutcome r = fault_testing::RunUpdater(UPDATER_BINARY, update.Args(), options);
    Verdict v = Judge(update, r, original_, updated_, {});
    for (const std::string& p : v.problems) {
      ADD_FAILURE() << what << ": " << p << "\n--- log:\n" << update.Log();
    }
    for (const std::string& n : v.notes) printf("[  note  ] %s: %s\n", what.c_str(), n.c_str());
    if (!v.succeeded) statuses_ += update.Status();
    return v.succeeded;
  }

  testing_util::ScopedTempDir root_;
  Snapshot original_;
  Snapshot updated_;
  std::string statuses_;
};

TEST_F(DiskFullTest, TmpfsOfEverySizeFromTooSmallToEnough) {
  {
    ScopedTmpfs probe(root_.Sub("mnt"), 64);
    if (!probe.mounted()) {
      GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(probe.error())
                   << "); the file-size limit test covers the exhaustion instead";
    }
  }
  MixedUpdate update(root_.Sub("mnt/app"), root_.Sub("upd"));
  int runs = 0, failed = 0;
  long first_success = -1;
  // The installation needs about 830 KiB; the run about 1 MiB more. The sizes
  // go on a little past the first success, which every larger size repeats.
  for (long kib = 896; kib <= 3072 && (first_success < 0 || kib < first_success + 256); kib += 64) {
    ScopedTmpfs fs(root_.Sub("mnt"), kib);
    ASSERT_TRUE(fs.mounted());
    ASSERT_TRUE(update.MakeInstallation()) << kib << " KiB";
    ASSERT_EQ(update.Installation(), original_) << "the installation does not fit in " << kib;
    ++runs;
    if (RunAndJudge(update, {}, "tmpfs of " + std::to_string(kib) + " KiB")) {
      if (first_success < 0) first_success = kib;
    } else {
      ++failed;
      EXPECT_LT(first_success, 0) << "a larger file system failed after a smaller one succeeded";
    }
  }
  printf("[ diskfull ] %d runs on tmpfs: %d failed and rolled back; success from %ld KiB\n", runs,
         failed, first_success);
  EXPECT_GT(failed, 3) << "the sizes never ran the update out of space";
  EXPECT_GT(first_success, 0) << "no size was large enough";
  EXPECT_NE(statuses_.find("failed: 7\n"), std::string::npos) << statuses_;
}

TEST_F(DiskFullTest, FileSizeLimitAtEverySize) {
  MixedUpdate update(root_.Sub("plain/app"), root_.Sub("upd"));
  int runs = 0, failed = 0;
  // The largest file written is the 700000-byte replacement of lib/libdata.bin.
  for (long long limit = 4096; limit < 700000 + 65536; limit += 32768) {
    ASSERT_TRUE(update.MakeInstallation());
    RunOptions options;
    options.file_size_limit = limit;
    ++runs;
    if (!RunAndJudge(update, options, "file size limit " + std::to_string(limit))) ++failed;
  }
  printf("[ diskfull ] %d runs under a file-size limit: %d failed and rolled back\n", runs, failed);
  EXPECT_GT(failed, 3);
  EXPECT_LT(failed, runs) << statuses_;
}

}  // namespace

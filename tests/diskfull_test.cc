// Disk full for real: the mixed update into a tmpfs too small for it, for a
// range of sizes that moves the point of exhaustion through the whole run, and
// the same under a file-size limit. Every run must end fully updated or with
// the installation exactly as before.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

using updater_fixture::MixedUpdate;

class DiskFullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plain_.WriteArchive() && plain_.MakeInstallation());
    original_ = plain_.Installation();
  }
  // One run through `prefix`; returns whether it succeeded.
  bool RunAndJudge(const MixedUpdate& update, const std::vector<std::string>& prefix,
                   const std::string& what) {
    auto v =
        Judge(update, updater_fixture::RunUpdater(update.Args(), {}, prefix), original_, updated_);
    for (const std::string& p : v.problems) ADD_FAILURE() << what << ": " << p << update.Log();
    if (!v.succeeded) statuses_ += update.Status();
    return v.succeeded;
  }

  testing_util::ScopedTempDir root_;
  MixedUpdate plain_{root_.Sub("plain/app"), root_.Sub("upd")};
  updater_fixture::Snapshot original_, updated_ = plain_.Expected();
  std::string statuses_;  // of the failed runs
};

TEST_F(DiskFullTest, TmpfsOfEverySizeFromTooSmallToEnough) {
  const std::string mnt = root_.Sub("mnt");
  ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  MixedUpdate update(mnt + "/app", root_.Sub("upd"));
  int runs = 0, failed = 0, foreseen = 0;
  long first_success = -1;
  // The installation needs about 830 KiB; the run about 1 MiB more. The sizes
  // go on a little past the first success, which every larger size repeats.
  for (long kib = 896; kib <= 3072 && (first_success < 0 || kib < first_success + 256); kib += 64) {
    const std::string size = "size=" + std::to_string(kib) + "k,mode=0755";
    if (mount("tmpfs", mnt.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
      ASSERT_EQ(runs, 0) << strerror(errno);
      GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno)
                   << "); the file-size limit test covers the exhaustion instead";
    }
    const bool made = update.MakeInstallation() && update.Installation() == original_;
    // updater --check errs on the safe side: where it foresees success, the
    // update succeeds.
    const bool foreseen_ok =
        updater_fixture::RunUpdater({"--check", update.update_dir(), mnt + "/app"}, {},
                                    {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/null"})
            .exit_code == 0;
    foreseen += !foreseen_ok;
    const bool ok = made && RunAndJudge(update, {}, "tmpfs of " + std::to_string(kib) + " KiB");
    EXPECT_TRUE(ok || !foreseen_ok) << "--check foresaw success at " << kib << " KiB";
    umount2(mnt.c_str(), MNT_DETACH);
    ASSERT_TRUE(made) << "the installation does not fit in " << kib << " KiB";
    ++runs;
    if (ok && first_success < 0) first_success = kib;
    EXPECT_TRUE(ok || first_success < 0) << "failed at " << kib << " KiB after a success";
    failed += !ok;
  }
  printf(
      "[ diskfull ] %d runs on tmpfs: %d failed and rolled back (%d foreseen by --check); "
      "success from %ld KiB\n",
      runs, failed, foreseen, first_success);
  EXPECT_GT(failed, 3) << "the sizes never ran the update out of space";
  EXPECT_GE(foreseen, failed) << "--check foresaw no lack of space";
  EXPECT_GT(first_success, 0) << "no size was large enough";
  EXPECT_NE(statuses_.find("failed: 7\n"), std::string::npos) << statuses_;
}

TEST_F(DiskFullTest, FileSizeLimitAtEverySize) {
  int runs = 0, failed = 0;
  // The largest file written is the 700000-byte replacement of lib/libdata.bin.
  for (long limit = 4096; limit < 700000 + 65536; limit += 32768, ++runs) {
    ASSERT_TRUE(plain_.MakeInstallation());
    // Writes past the limit then fail with EFBIG instead of ending the process.
    const std::string shell =
        "trap '' XFSZ; ulimit -f " + std::to_string(limit / 512) + " && exec \"$0\" \"$@\"";
    failed += !RunAndJudge(plain_, {"/bin/sh", "-c", shell}, "limit " + std::to_string(limit));
  }
  printf("[ diskfull ] %d runs under a file-size limit: %d failed and rolled back\n", runs, failed);
  EXPECT_GT(failed, 3);
  EXPECT_LT(failed, runs) << statuses_;
}

}  // namespace

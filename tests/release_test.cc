// End-to-end tests of make-update release: three old trees, one command, a
// signed feed whose every archive turns its old tree, with the built updater,
// into the new one; the same feed through emitted jobs; extending a feed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "archive/qex.h"
#include "archive/qex_sign.h"
#include "base/error_codes.h"
#include "feed/feed.h"
#include "testing/test_util.h"

using testing_util::ReadFile;
using testing_util::RunCommand;
using testing_util::ScopedTempDir;
using testing_util::SnapshotTree;
using testing_util::WriteFile;

namespace {

const std::string kApp = "org.example.app";

// A tree of version `n`: shared files, files that change with every
// version, one only old versions have and one only 4 and later have.
void MakeVersionTree(const std::string& dir, int n) {
  const std::string v = std::to_string(n);
  WriteFile(dir + "/bin/app", testing_util::RandomBytes(200000, 7) + v, 0755);
  WriteFile(dir + "/lib/data.bin", testing_util::RandomBytes(50000, n), 0644);
  WriteFile(dir + "/share/same.txt", "unchanged\n");
  WriteFile(dir + "/share/v" + v + ".txt", "only in " + v + "\n", n % 2 ? 0600 : 0644);
  if (n < 4) WriteFile(dir + "/share/old.txt", "dropped by 4\n");
  ASSERT_EQ(0, RunCommand(std::string(MAKE_UPDATE_BINARY) + " -q --first-install -p " + v +
                          ".0 --app-id " + kApp + " " + dir + " >/dev/null"));
}

struct Output {
  int status;
  std::string text;  // standard output and standard error
};

class ReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(archive_testing::MakeKeyPair(dir_.Sub("key")));
    for (int n = 1; n <= 5; n++) MakeVersionTree(Tree(n), n);
    pub_.reset(qex_read_public_keys(dir_.Sub("key.pub").c_str()));
    ASSERT_TRUE(pub_);
  }
  std::string Tree(int n) const { return dir_.Sub("v" + std::to_string(n)); }
  Output RunShell(const std::string& command) const {
    int status = RunCommand(command + " >" + dir_.Sub("run.out") + " 2>&1");
    return {status, ReadFile(dir_.Sub("run.out"))};
  }
  // make-update release of version `n` from the versions `olds` into `out`.
  std::string Release(int n, const std::vector<int>& olds, const std::string& out,
                      const std::string& extra = "") const {
    std::string cmd = std::string(MAKE_UPDATE_BINARY) + " release -q -p " + std::to_string(n) +
                      ".0 --app-id " + kApp + " -c stable --sign " + dir_.Sub("key.pem") + " -o " +
                      out + " " + extra + " " + Tree(n);
    for (int old : olds) cmd += " " + Tree(old) + "=" + std::to_string(old) + ".0";
    return cmd;
  }
  // The feed in `out`, which must verify with the public key and parse.
  Feed ReadFeed(const std::string& out) const {
    Feed feed;
    std::string bytes = ReadFile(out + "/stable.json");
    EXPECT_EQ(VerifyFeedSignature(bytes, ReadFile(out + "/stable.json.sig"), pub_.get()), kOk);
    EXPECT_EQ(ParseFeed(bytes, &feed), kOk);
    return feed;
  }
  // The archive at `url` below `out` is the announced file, signed by the key.
  void CheckAnnounced(const std::string& out, const FeedArchive& a) const {
    std::string path = out + "/" + a.url, sha;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_TRUE(qex_file_sha256(fd, &sha) && sha == a.sha256) << path;
    EXPECT_EQ(static_cast<uint64_t>(lseek(fd, 0, SEEK_END)), a.size) << path;
    close(fd);
    EXPECT_EQ(qex_verify_archive(path.c_str(), pub_.get(), nullptr, nullptr), QEX_VERIFIED);
  }
  // Applies the archive with a copy of the built updater that trusts only the
  // release key to a copy of tree `old`, which must become tree `target`.
  void ExpectApplies(const std::string& archive, int old, int target) const {
    ScopedTempDir run;
    ASSERT_EQ(0, RunCommand("mkdir " + run.Sub("bin") + " " + run.Sub("upd") + " && cp -a " +
                            Tree(old) + " " + run.Sub("inst") + " && cp " + UPDATER_BINARY + " " +
                            run.Sub("bin/updater") + " && cp " + dir_.Sub("key.pub") + " " +
                            run.Sub("bin/updater.keys") + " && cp " + archive + " " +
                            run.Sub("upd/update.qex")));
    Output o = RunShell("umask 0; env -u DISPLAY " + run.Sub("bin/updater") + " " + run.Sub("upd") +
                        " " + run.Sub("inst"));
    ASSERT_EQ(o.status, 0) << archive << "\n" << o.text << ReadFile(run.Sub("upd/update.log"));
    EXPECT_EQ(
        testing_util::DiffSnapshots(SnapshotTree(Tree(target)), SnapshotTree(run.Sub("inst"))), "")
        << archive << " on version " << old;
  }

  ScopedTempDir dir_;
  QexKeys pub_;
};

TEST_F(ReleaseTest, OneCommandBuildsEveryArchiveAndTheFeed) {
  const std::string out = dir_.Sub("out");
  Output o = RunShell(Release(4, {1, 2, 3}, out, "-j 2 --verify --updater " UPDATER_BINARY));
  ASSERT_EQ(o.status, 0) << o.text;
  Feed feed = ReadFeed(out);
  EXPECT_EQ(CheckFeed(feed, {kApp, "stable", "3.0", feed.created}), kOk);
  ASSERT_EQ(feed.releases.size(), 1u);
  const FeedRelease& r = feed.releases[0];
  EXPECT_EQ(r.version, "4.0");
  ASSERT_EQ(r.partials.size(), 3u);
  CheckAnnounced(out, r.complete);
  ExpectApplies(out + "/" + r.complete.url, 1, 4);
  for (const FeedPartial& p : r.partials) {
    CheckAnnounced(out, p.archive);
    EXPECT_LT(p.archive.size, r.complete.size) << p.from;
    FeedChoice choice = PickUpdate(feed, p.from, 99, "");
    ASSERT_TRUE(choice.partial) << p.from;
    ExpectApplies(out + "/" + choice.archive->url, p.from[0] - '0', 4);
  }

  // The same release through emitted jobs, each run on its own, then the feed step.
  const std::string jobs_out = dir_.Sub("jobs-out"), jobs = dir_.Sub("jobs.sh");
  o = RunShell(Release(4, {1, 2, 3}, jobs_out, "--emit-jobs " + jobs));
  ASSERT_EQ(o.status, 0) << o.text;
  EXPECT_FALSE(testing_util::Exists(jobs_out + "/stable.json"));
  std::string lines = ReadFile(jobs), text = o.text.substr(0, o.text.size() - 1);
  const std::string feed_step = text.substr(text.rfind('\n') + 1);
  int count = 0;
  for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos;
       at = end + 1, count++) {
    ASSERT_EQ(0, RunCommand(lines.substr(at, end - at))) << lines.substr(at, end - at);
  }
  EXPECT_EQ(count, 4);
  o = RunShell(feed_step);
  ASSERT_EQ(o.status, 0) << feed_step << "\n" << o.text;
  Feed from_jobs = ReadFeed(jobs_out);
  from_jobs.created = feed.created;
  from_jobs.expires = feed.expires;
  EXPECT_EQ(SerializeFeed(from_jobs), SerializeFeed(feed));
}

TEST_F(ReleaseTest, ExtendingKeepsOtherReleasesAndReplacesTheSameVersion) {
  const std::string out = dir_.Sub("out");
  ASSERT_EQ(RunShell(Release(4, {3}, out)).status, 0);
  const Feed four = ReadFeed(out);
  ASSERT_EQ(RunShell(Release(5, {3}, out)).status, 0);
  Output o = RunShell(Release(5, {3, 4}, out, "--rollout 20 --expires-in 3"));
  ASSERT_EQ(o.status, 0) << o.text;
  Feed feed = ReadFeed(out);
  ASSERT_EQ(feed.releases.size(), 2u);
  EXPECT_EQ(feed.releases[0].version, "5.0");
  EXPECT_EQ(feed.releases[0].rollout, 20);
  EXPECT_EQ(feed.releases[0].partials.size(), 2u);
  EXPECT_EQ(feed.expires - feed.created, 3 * 86400);
  Feed only_four = feed;
  only_four.releases.erase(only_four.releases.begin());
  only_four.created = four.created;
  only_four.expires = four.expires;
  EXPECT_EQ(SerializeFeed(only_four), SerializeFeed(four));
  ExpectApplies(out + "/5.0/from-4.0.qex", 4, 5);

  // A feed changed by someone else is not extended, and nothing is written.
  WriteFile(out + "/stable.json", ReadFile(out + "/stable.json") + " ");
  const auto before = SnapshotTree(out);
  o = RunShell(Release(5, {1}, out));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.text.find("has no signature by the --sign keys"), std::string::npos) << o.text;
  EXPECT_EQ(testing_util::DiffSnapshots(before, SnapshotTree(out)), "");
}

}  // namespace

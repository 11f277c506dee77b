#include "fileops/beneath.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "fileops/fileops.h"
#include "testing/test_util.h"

namespace {

using testing_util::SnapshotTree;
using testing_util::WriteFile;

// An installation "app" with links that stay inside and links that lead out,
// among them to siblings whose names merely extend the installation's.
class BeneathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"app/real/f", "app/top", "outside/f", "app2/f", "app.bak/f"})
      WriteFile(dir_.Sub(f), f);
    const std::string links[][2] = {{"real", "inlink"},       {A("real"), "absin"},
                                    {"../outside", "out"},    {dir_.Sub("outside"), "absout"},
                                    {"../app2", "sibling"},   {dir_.Sub("app.bak"), "bak"},
                                    {"../..", "real/up"},     {"../real", "real/back"},
                                    {"loop", "loop"},         {"real/f", "flink"},
                                    {"../outside/f", "fout"}, {dir_.Sub("app") + "2", "abs2"}};
    for (const auto& [target, name] : links) ASSERT_EQ(symlink(target.c_str(), A(name).c_str()), 0);
    app_ = open(A("").c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(app_, 0);
  }
  void TearDown() override { close(app_); }
  std::string A(const std::string& rel) { return dir_.Sub("app/" + rel); }

  testing_util::ScopedTempDir dir_;
  int app_ = -1;
};

// Both resolutions name the same directory and component, or fail alike.
TEST_F(BeneathTest, LinksAreFollowedOnlyWhileTheyStayInside) {
  const struct {
    const char* path;
    bool follow;
    int err;
    const char *dir = "", *name = "";  // the expected directory below app, and component
  } cases[] = {
      {"top", false, 0, "", "top"},
      {"real/f", false, 0, "real", "f"},
      {"inlink/f", false, 0, "real", "f"},
      {"absin/f", false, 0, "real", "f"},
      {"real/back/f", false, 0, "real", "f"},
      {"flink", false, 0, "", "flink"},
      {"flink", true, 0, "real", "f"},
      {"real/new", true, 0, "real", "new"},
      {"absin", true, 0, "", "real"},
      {"out/f", false, EXDEV},
      {"absout/f", false, EXDEV},
      {"sibling/f", false, EXDEV},
      {"bak/f", false, EXDEV},
      {"abs2/f", false, EXDEV},
      {"real/up/outside/f", false, EXDEV},
      {"fout", true, EXDEV},
      {"loop/f", false, ELOOP},
      {"missing/f", false, ENOENT},
      {"top/x", false, ENOTDIR},
  };
  for (const auto& c : cases) {
    for (bool walk : {false, true}) {
      SCOPED_TRACE(std::string(c.path) + (c.follow ? " followed" : "") + (walk ? " walked" : ""));
      char walked[NAME_MAX + 1];
      errno = 0;
      BeneathPath p(app_, c.path, c.follow);
      const int fd = walk ? walk_beneath(app_, c.path, c.follow, walked) : p.ok() ? p.dir() : -1;
      EXPECT_EQ(fd == -1 ? errno : 0, c.err);
      if (c.err) continue;
      ASSERT_GE(fd, 0);
      struct stat got, want;
      ASSERT_EQ(fstat(fd, &got), 0);
      ASSERT_EQ(stat(A(c.dir).c_str(), &want), 0);
      EXPECT_EQ(got.st_ino, want.st_ino);
      EXPECT_STREQ(walk ? walked : p.name(), c.name);
      if (walk && fd != app_) close(fd);
    }
  }
}

// The operations of fileops.h on installation paths: through a link inside
// they work, through one that leads out they fail and change nothing there.
TEST_F(BeneathTest, FileOperationsNeverLeaveTheInstallation) {
  chmod(dir_.Sub("outside/f").c_str(), 0444);
  const auto outside = SnapshotTree(dir_.path() + "/outside");
  char buf[64];
  auto writable = [&buf](const char* path) { return snprintf(buf, sizeof(buf), "%s", path), buf; };
  const struct {
    std::function<int()> op;
    bool succeeds;
  } cases[] = {
      {[&] { return ensure_remove(app_, "out/f"); }, false},
      {[&] { return rename_file(app_, "top", writable("out/g"), false); }, false},
      {[&] { return rename_file(app_, "out/f", writable("stolen"), false); }, false},
      {[&] { return backup_create(app_, "absout/f"); }, false},
      {[&] { return ensure_parent_dir(app_, writable("sibling/new/x")); }, false},
      {[&] { return ScopedFile(open_with_mode(app_, "fout", "wb", 0100644)) ? 0 : -1; }, false},
      {[&] { return ScopedFile(open_with_mode(app_, "fout", "rb", 0)) ? 0 : -1; }, false},
      {[&] { return make_owner_writable(app_, "fout"), -1; }, false},
      {[&] { return mkdir_beneath(app_, "real/up/made", 0755); }, false},
      {[&] { return ensure_parent_dir(app_, writable("inlink/a/b/x")); }, true},
      {[&] { return backup_create(app_, "inlink/f"); }, true},
      {[&] { return backup_restore(app_, "absin/f"); }, true},
      {[&] { return ScopedFile(open_with_mode(app_, "flink", "rb", 0)) ? 0 : -1; }, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.op() == 0, c.succeeds) << &c - cases;
    EXPECT_EQ(testing_util::DiffSnapshots(outside, SnapshotTree(dir_.path() + "/outside")), "")
        << &c - cases;
  }
  EXPECT_TRUE(testing_util::Exists(A("real/a/b")) && testing_util::Exists(A("real/f")));
}

}  // namespace

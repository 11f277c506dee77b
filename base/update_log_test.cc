#include "base/update_log.h"

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace {

using testing_util::Exists;
using testing_util::ReadFile;

TEST(UpdateLogTest, LinesWarningsAndClosedLog) {
  testing_util::ScopedTempDir dir;
  UpdateLog& log = UpdateLog::Instance();
  log.Log("dropped before open %d", 1);
  // A failed open creates nothing (it is reported on standard error).
  log.Open(dir.Sub("missing").c_str(), "update.log", nullptr, false);
  EXPECT_FALSE(log.IsOpen() || Exists(dir.Sub("missing")));
  log.Log("dropped");
  testing_util::WriteFile(dir.Sub("update.log"), "truncated\n");
  log.Open(dir.path().c_str(), "update.log", nullptr, false);
  log.Open(dir.path().c_str(), "other.log", nullptr, false);  // ignored while open
  log.Log("PREPARE ADD %s", "a/b");
  // A name can neither start a line of its own nor pass for an escaped byte.
  log.Log("REMOVE %s", "x\nsucceeded\x1b[2K\\x0a\x7f");
  log.LogWarning("x");
  log.Close();
  log.Close();
  log.Log("dropped after close");
  EXPECT_EQ(ReadFile(dir.Sub("update.log")),
            "PREPARE ADD a/b\nREMOVE x\\x0asucceeded\\x1b[2K\\\\x0a\\x7f\n*** Warning: x***\n");
  EXPECT_FALSE(Exists(dir.Sub("other.log")));
}

// A replace request's log: the first name is appended to when it exists, else
// the alternative is created.
TEST(UpdateLogTest, AlternateNameOnlyWhenFirstIsMissing) {
  testing_util::ScopedTempDir dir, other;
  testing_util::WriteFile(dir.Sub("last-update.log"), "old\n");
  for (const testing_util::ScopedTempDir* d : {&dir, &other}) {
    UpdateLog::Instance().Open(d->path().c_str(), "last-update.log", "update.log", true);
    UpdateLog::Instance().Log("new");
    UpdateLog::Instance().Close();
  }
  EXPECT_EQ(ReadFile(dir.Sub("last-update.log")), "old\nnew\n");
  EXPECT_EQ(ReadFile(other.Sub("update.log")), "new\n");
  EXPECT_FALSE(Exists(dir.Sub("update.log")) || Exists(other.Sub("last-update.log")));
}

}  // namespace

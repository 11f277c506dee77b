#include "fileops/fileops.h"

#include <gtest/gtest.h>

#include "testing/test_util.h"

using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

namespace {

TEST(BackupTest, CreateRestoreRoundTrip) {
  ScopedTempDir dir;
  std::string path = dir.Sub("a.txt");
  WriteFile(path, "old");
  ASSERT_EQ(backup_create(path.c_str()), 0);
  EXPECT_EQ(ReadFile(path + ".quil-backup"), "old");
  WriteFile(path, "new");
  ASSERT_EQ(backup_restore(path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_FALSE(testing_util::Exists(path + ".quil-backup"));
}

}  // namespace

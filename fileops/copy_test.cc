#include <gtest/gtest.h>

#include "fileops/fileops.h"
#include "testing/test_util.h"

using testing_util::ScopedTempDir;
using testing_util::SnapshotTree;
using testing_util::WriteFile;

namespace {

TEST(CopyTest, CopiesTree) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("src/a/b.txt"), "b", 0640);
  char skip[2][kPathBufferSize] = {"x", "y"};
  ASSERT_EQ(ensure_copy_recursive(dir.Sub("src").c_str(), dir.Sub("dst").c_str(), skip), 0);
  EXPECT_EQ(testing_util::DiffSnapshots(SnapshotTree(dir.Sub("src")), SnapshotTree(dir.Sub("dst"))),
            "");
}

}  // namespace

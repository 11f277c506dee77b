#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive/archive_test_util.h"
#include "archive/qex.h"
#include "testing/in_temp_dir.h"
#include "testing/test_util.h"

namespace {

using archive_testing::BuildArchive;
using archive_testing::TestLayout;
using archive_testing::WriteBytes;
using testing_util::Exists;
using testing_util::ReadFile;

using QexExtractTest = testing_util::InTempDirTest;

TEST_F(QexExtractTest, ExtractAllWritesStoredBytesOnlyBelowTheDirectory) {
  TestLayout layout;
  layout.entries = {{"d/e/f", "stored", 0750, false}, {"..a/b..", "ok", 0604, false}};
  ASSERT_TRUE(WriteBytes("x.qex", BuildArchive(layout)));
  mkdir("box", 0755);
  ASSERT_EQ(chdir("box"), 0);
  EXPECT_EQ(qex_extract_all("../x.qex"), 0);
  EXPECT_EQ(qex_extract_all("missing.qex"), -1);
  const std::string outside = dir_.Sub("outside");
  for (const std::string& name :
       {std::string("../outside"), outside, std::string("a/../../outside"), std::string(".."),
        std::string("d/..")}) {
    layout.entries = {{name, "evil", 0644, false}};
    ASSERT_TRUE(WriteBytes("../evil.qex", BuildArchive(layout)));
    testing::internal::CaptureStderr();
    EXPECT_EQ(qex_extract_all("../evil.qex"), -1) << name;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(name), std::string::npos);
    EXPECT_FALSE(Exists(outside) || Exists("a")) << name;
  }
  ASSERT_EQ(chdir(".."), 0);
  EXPECT_EQ(ReadFile("box/d/e/f") + ReadFile("box/..a/b.."), "storedok");
  EXPECT_EQ(testing_util::ModeOf("box/d/e"), 0755u);
  EXPECT_EQ(testing_util::ModeOf("box/d/e/f"), 0750u);
  EXPECT_EQ(testing_util::ModeOf("box/..a/b.."), 0604u);
}

}  // namespace

#include "ui/program_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

// The files are named after the running executable, and a name that does not
// fit whole is no name at all.
TEST(ProgramPathTest, NamesFilesBesideTheRunningExecutable) {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  const std::string expected = std::string(exe, static_cast<size_t>(n)) + ".ini";
  const ProgramPath program;
  ASSERT_TRUE(program.known());
  char buf[4096];
  ASSERT_TRUE(program.FormFileName(".ini", buf, sizeof(buf)));
  EXPECT_EQ(buf, expected);
  EXPECT_TRUE(program.FormFileName(".ini", buf, expected.size() + 1));
  EXPECT_FALSE(program.FormFileName(".ini", buf, expected.size()));
}

#include <gtest/gtest.h>

#include "archive/qex.h"

namespace {

TEST(VersionTest, Ordering) {
  // Each pair compared both ways round.
  const char* const equal[][2] = {{"1", "1.0"},
                                  {"1.0", "1.0.0"},
                                  {"1..2", "1.0.2"},
                                  {"1.0+", "1.1pre"},
                                  {"1.", "1"},
                                  // Numbers saturate instead of overflowing.
                                  {"99999999999", "2147483647"},
                                  {"2147483647+", "2147483647pre"},
                                  {"*", "2147483647"}};
  const char* const older[][2] = {
      {"2", "10"},         {"1.9", "1.10"},  {"1.0pre1", "1.0"},      {"1.0a1", "1.0b1"},
      {"1.0b1", "1.0b2"},  {"1.999", "1.*"}, {"1.0alpha", "1.0beta"}, {"1.0pre", "1.0prex"},
      {"1.0b", "1.0b1"},   {"1.0.1", "1.1"}, {"1a-2", "1a"},          {"4pre-", "4pre"},
      {"1.0b1x", "1.0b1"},  // a suffix sorts before none
      {"1.0\xe9", "1.0a"},  // letters compare as signed bytes
      {"1:2.39", "2.40"},   // no epochs: the number 1, then ":2"
  };
  for (const auto& p : equal) {
    EXPECT_EQ(compare_versions(p[0], p[1]), 0) << p[0] << " vs " << p[1];
    EXPECT_EQ(compare_versions(p[1], p[0]), 0) << p[1] << " vs " << p[0];
  }
  for (const auto& p : older) {
    EXPECT_EQ(compare_versions(p[0], p[1]), -1) << p[0] << " vs " << p[1];
    EXPECT_EQ(compare_versions(p[1], p[0]), 1) << p[1] << " vs " << p[0];
  }
  // Suffixes compare as strcmp does: the result need not be -1 or 1.
  EXPECT_LT(compare_versions("1.0b1a", "1.0b1c"), 0);
}

}  // namespace

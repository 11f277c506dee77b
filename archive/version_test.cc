#include <gtest/gtest.h>

#include <string>

#include "archive/qex.h"

namespace {

// Checks the comparison both ways round.
void ExpectOlder(const char* a, const char* b) {
  EXPECT_LT(compare_versions(a, b), 0) << a << " < " << b;
  EXPECT_GT(compare_versions(b, a), 0) << b << " > " << a;
}

void ExpectEqual(const char* a, const char* b) {
  EXPECT_EQ(compare_versions(a, b), 0) << a << " == " << b;
  EXPECT_EQ(compare_versions(b, a), 0) << b << " == " << a;
}

TEST(VersionTest, Ordering) {
  ExpectEqual("1", "1.0");
  ExpectEqual("1.0", "1.0.0");
  ExpectEqual("1..2", "1.0.2");
  ExpectEqual("1.0+", "1.1pre");
  ExpectEqual("1.", "1");
  ExpectOlder("2", "10");
  ExpectOlder("1.9", "1.10");
  ExpectOlder("1.0pre1", "1.0");
  ExpectOlder("1.0a1", "1.0b1");
  ExpectOlder("1.0b1", "1.0b2");
  ExpectOlder("1.999", "1.*");
  ExpectOlder("1.0alpha", "1.0beta");
  ExpectOlder("1.0pre", "1.0prex");
  ExpectOlder("1.0b", "1.0b1");
  ExpectOlder("1.0b1x", "1.0b1");  // a suffix sorts before none
  ExpectOlder("1.0.1", "1.1");
  // Letters compare as signed bytes: a byte of 0x80 or more sorts first.
  ExpectOlder("1.0\xe9", "1.0a");
  // Only the suffix gives a strcmp result, which need not be -1 or 1.
  const std::string a = "a", c = "c";
  EXPECT_EQ(compare_versions("1.0b1a", "1.0b1c"), strcmp(a.c_str(), c.c_str()));
  EXPECT_EQ(compare_versions("1.0", "1.0"), 0);
  EXPECT_EQ(compare_versions("3", "2"), 1);
  EXPECT_EQ(compare_versions("2", "3"), -1);
}

TEST(VersionTest, SegmentFields) {
  char text[] = "12b3x.rest";
  VersionSegment s;
  char* rest = parse_version_segment(text, &s);
  EXPECT_STREQ(rest, "rest");
  EXPECT_EQ(s.number, 12);
  EXPECT_STREQ(s.text, "b3x");
  EXPECT_EQ(s.text_length, 1);
  EXPECT_EQ(s.subnumber, 3);
  EXPECT_STREQ(s.suffix, "x");

  char star[] = "*";
  EXPECT_EQ(parse_version_segment(star, &s), nullptr);
  EXPECT_EQ(s.number, 2147483647);
  EXPECT_EQ(s.text, nullptr);

  char plus[] = "2147483647+";  // the next number saturates instead of overflowing
  parse_version_segment(plus, &s);
  EXPECT_EQ(s.number, 2147483647);
  EXPECT_STREQ(s.text, "pre");
  EXPECT_EQ(s.text_length, 3);

  char sign[] = "4pre-";  // a sign with no digits after it starts the suffix
  parse_version_segment(sign, &s);
  EXPECT_EQ(s.text_length, 3);
  EXPECT_EQ(s.subnumber, 0);
  EXPECT_STREQ(s.suffix, "-");

  char minus[] = "1a-2b";
  parse_version_segment(minus, &s);
  EXPECT_EQ(s.subnumber, -2);
  EXPECT_STREQ(s.suffix, "b");

  char huge[] = "99999999999";
  parse_version_segment(huge, &s);
  EXPECT_EQ(s.number, 2147483647);

  parse_version_segment(nullptr, &s);
  EXPECT_EQ(s.number, 0);
  EXPECT_EQ(s.text, nullptr);
  EXPECT_EQ(s.suffix, nullptr);
}

}  // namespace

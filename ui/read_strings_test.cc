#include "ui/read_strings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "testing/test_util.h"

namespace {

using testing_util::ScopedTempDir;
using testing_util::WriteFile;

class ReadStringsTest : public ::testing::Test {
 protected:
  // Writes `text` as the strings file and reads the window's two keys.
  int Read(const std::string& text) {
    WriteFile(path(), text);
    return ReadWindowStrings(path().c_str(), &strings_);
  }
  std::string path() const { return dir_.Sub("updater.ini"); }

  ScopedTempDir dir_;
  WindowStrings strings_;
};

TEST(NextIniTokenTest, SplitsInPlaceAndMovesTheCursor) {
  char text[] = "\n\nab\r\ncd";
  char* cursor = text;
  EXPECT_STREQ(NextIniToken("\r\n", &cursor), "ab");
  EXPECT_EQ(cursor, text + 5);  // just past the NUL written over "\r"
  EXPECT_STREQ(NextIniToken("\r\n", &cursor), "cd");
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(NextIniToken("\r\n", &cursor), nullptr);
  EXPECT_EQ(NextIniToken("\r\n", nullptr), nullptr);

  char delimiters_only[] = "\r\n\n";
  cursor = delimiters_only;
  EXPECT_EQ(NextIniToken("\r\n", &cursor), nullptr);
  EXPECT_EQ(cursor, delimiters_only + 3);
}

TEST_F(ReadStringsTest, ReadsTitleAndInfo) {
  EXPECT_EQ(Read("[Strings]\nTitle=Updating App\nInfo=Please wait = patience\n"), 0);
  EXPECT_STREQ(strings_.title, "Updating App");
  EXPECT_STREQ(strings_.info, "Please wait = patience");  // further "=" belong to the value
}

TEST_F(ReadStringsTest, BlanksAroundTheEqualsSign) {
  // Before "=" they are part of the key, so the line matches nothing; after
  // it they start the value. Leading blanks of the line are skipped.
  EXPECT_EQ(Read("[Strings]\nTitle =T\n \t Info= I\n"), 5);
  EXPECT_STREQ(strings_.title, "");
  EXPECT_STREQ(strings_.info, " I");
}

TEST_F(ReadStringsTest, CommentOnlyAtTheFirstByte) {
  EXPECT_EQ(Read("[Strings]\n;Title=hidden\n#Info=hidden\nTitle=T\nInfo=I\n"), 0);
  EXPECT_STREQ(strings_.title, "T");
  EXPECT_STREQ(strings_.info, "I");

  // After leading blanks ";" is an ordinary byte of the key.
  WriteFile(path(), "[Strings]\n;Key=comment\n  ;Key=value\n");
  const char* keys[] = {";Key"};
  char values[1][kIniValueSize];
  EXPECT_EQ(ReadIniSection(path().c_str(), keys, 1, values), 0);
  EXPECT_STREQ(values[0], "value");
}

TEST_F(ReadStringsTest, OnlyTheWantedSectionCounts) {
  EXPECT_EQ(Read("Title=before\nInfo=before\n[Other]\nTitle=other\nInfo=other\n"), 5);
  EXPECT_STREQ(strings_.title, "");
  EXPECT_STREQ(strings_.info, "");
  EXPECT_EQ(Read("[strings]\nTitle=T\nInfo=I\n"), 5);  // case matters
  EXPECT_EQ(Read("[Strings] x\nTitle=T\nInfo=I\n"), 5);
  EXPECT_EQ(Read("[]\nTitle=T\nInfo=I\n"), 5);
  EXPECT_EQ(Read("[]Strings]\nTitle=T\nInfo=I\n"), 5);  // the name is empty
  EXPECT_EQ(Read("[Strings]]\nTitle=T\nInfo=I\n"), 5);
  EXPECT_EQ(Read("[Strings] \t\nTitle=T\nInfo=I\n"), 0);
  EXPECT_EQ(Read("[Strings\nTitle=T\nInfo=I\n"), 0);  // closed at the line end
}

TEST_F(ReadStringsTest, EveryHeaderSwitchesAnew) {
  EXPECT_EQ(Read("[Strings]\nTitle=T\n[Other]\nInfo=other\n[Strings]\nInfo=I\n"), 0);
  EXPECT_STREQ(strings_.title, "T");
  EXPECT_STREQ(strings_.info, "I");
  // A header that selects nothing also leaves the wanted section.
  EXPECT_EQ(Read("[Strings]\nTitle=T\n[Strings] x\nInfo=I\n"), 5);
}

TEST_F(ReadStringsTest, ValueIsCutAt599Bytes) {
  std::string exact(599, 'e');
  std::string longer = std::string(599, 'l') + "tail";
  EXPECT_EQ(Read("[Strings]\nTitle=" + exact + "\nInfo=" + longer + "\n"), 0);
  EXPECT_EQ(std::string(strings_.title), exact);
  EXPECT_EQ(std::string(strings_.info), std::string(599, 'l'));
}

TEST_F(ReadStringsTest, CountRule) {
  // Every matching line counts; the later value replaces the earlier one.
  EXPECT_EQ(Read("[Strings]\nTitle=first\nTitle=second\n"), 0);
  EXPECT_STREQ(strings_.title, "second");
  EXPECT_STREQ(strings_.info, "");
  EXPECT_EQ(Read("[Strings]\nTitle=a\nTitle=b\nInfo=c\n"), 5);
  EXPECT_EQ(Read("[Strings]\nTitle=T\n"), 5);
  EXPECT_EQ(Read("[Strings]\nTitle=T\nNoEquals\nInfo\n"), 5);
  // An empty value is found.
  EXPECT_EQ(Read("[Strings]\nTitle=\nInfo=\n"), 0);
}

TEST_F(ReadStringsTest, UnreadableFiles) {
  EXPECT_EQ(ReadWindowStrings(path().c_str(), &strings_), 6);  // missing
  EXPECT_EQ(Read(""), 6);
  // A directory opens for reading but has no contents to read.
  std::string directory = dir_.Sub("dir.ini");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  EXPECT_EQ(ReadWindowStrings(directory.c_str(), &strings_), 6);
}

TEST_F(ReadStringsTest, AllLineEnds) {
  EXPECT_EQ(Read("[Strings]\r\nTitle=crlf\r\n\r\n\r\nInfo=I\r\n"), 0);
  EXPECT_STREQ(strings_.title, "crlf");
  EXPECT_STREQ(strings_.info, "I");
  EXPECT_EQ(Read("\r[Strings]\rTitle=cr\r\rInfo=I"), 0);
  EXPECT_STREQ(strings_.title, "cr");
  EXPECT_STREQ(strings_.info, "I");
  EXPECT_EQ(Read("[Strings]\n\n  \t\nTitle=lf\n\nInfo=I\n\n"), 0);
  EXPECT_STREQ(strings_.title, "lf");
}

TEST_F(ReadStringsTest, OtherSectionsAndKeys) {
  WriteFile(path(), "[Strings]\nA=strings\n[Custom]\nB=2\nA=1\n");
  const char* keys[] = {"A", "B", "C"};
  char values[3][kIniValueSize] = {"stale", "stale", "stale"};
  EXPECT_EQ(ReadIniSection(path().c_str(), keys, 2, values, "Custom"), 0);
  EXPECT_STREQ(values[0], "1");
  EXPECT_STREQ(values[1], "2");
  EXPECT_STREQ(values[2], "stale");  // beyond the key count: untouched
  EXPECT_EQ(ReadIniSection(path().c_str(), keys, 3, values, nullptr), 5);
  EXPECT_STREQ(values[0], "strings");
  EXPECT_STREQ(values[1], "");  // every value starts empty
  EXPECT_STREQ(values[2], "");
}

}  // namespace

#include "ui/read_strings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "testing/test_util.h"

namespace {

TEST(ReadStringsTest, SectionKeyCommentAndLineEndRules) {
  testing_util::ScopedTempDir dir;
  const std::string path = dir.Sub("updater.ini"), long_value = std::string(599, 'l');
  const struct {
    std::string text;
    int rv;
    std::string title, info;
  } cases[] = {
      {"[Strings]\nTitle=Updating App\nInfo=Please wait = patience\n", 0, "Updating App",
       "Please wait = patience"},  // further "=" belong to the value
      // Blanks before "=" belong to the key, after it to the value; blanks
      // that start a line are skipped.
      {"[Strings]\nTitle =T\n \t Info= I\n", 5, "", " I"},
      {"[Strings]\n;Title=hidden\n#Info=hidden\nTitle=T\nInfo=I\n", 0, "T", "I"},
      {"[Strings]\n #Info=x\nTitle=T\n", 5, "T", ""},  // a comment only at the first byte
      {"Title=before\nInfo=before\n[Other]\nTitle=other\nInfo=other\n", 5, "", ""},
      {"[strings]\nTitle=T\nInfo=I\n", 5, "", ""},  // case matters
      {"[Strings] x\nTitle=T\nInfo=I\n", 5, "", ""},
      {"[]\nTitle=T\nInfo=I\n", 5, "", ""},
      {"[]Strings]\nTitle=T\nInfo=I\n", 5, "", ""},  // the name is empty
      {"[Strings]]\nTitle=T\nInfo=I\n", 5, "", ""},
      {"[Strings] \t\nTitle=T\nInfo=I\n", 0, "T", "I"},
      {"[Strings\nTitle=T\nInfo=I\n", 0, "T", "I"},  // closed at the line end
      {"[Strings]\nTitle=T\n[Other]\nInfo=other\n[Strings]\nInfo=I\n", 0, "T", "I"},
      {"[Strings]\nTitle=T\n[Strings] x\nInfo=I\n", 5, "T", ""},  // no section selected
      {"[Strings]\nTitle=" + long_value + "tail\nInfo=\n", 0, long_value, ""},  // cut at 599
      // Every matching line counts; the later value wins.
      {"[Strings]\nTitle=first\nTitle=second\n", 0, "second", ""},
      {"[Strings]\nTitle=a\nTitle=b\nInfo=c\n", 5, "b", "c"},
      {"[Strings]\nTitle=T\nNoEquals\nInfo\n", 5, "T", ""},
      {"[Strings]\r\nTitle=crlf\r\n\r\n\r\nInfo=I\r\n", 0, "crlf", "I"},
      {"\r[Strings]\rTitle=cr\r\rInfo=I", 0, "cr", "I"},
      {"[Strings]\n\n  \t\nTitle=lf\n\nInfo=I\n\n", 0, "lf", "I"},
      {"", 6, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    testing_util::WriteFile(path, c.text);
    WindowStrings strings;
    EXPECT_EQ(ReadWindowStrings(path.c_str(), &strings), c.rv);
    EXPECT_EQ(strings.title, c.title);
    EXPECT_EQ(strings.info, c.info);
  }
  WindowStrings strings;
  EXPECT_EQ(ReadWindowStrings(dir.Sub("missing.ini").c_str(), &strings), 6);
  // A directory opens for reading but has no contents to read.
  ASSERT_EQ(mkdir(dir.Sub("dir.ini").c_str(), 0755), 0);
  EXPECT_EQ(ReadWindowStrings(dir.Sub("dir.ini").c_str(), &strings), 6);
}

// Any section, any keys: "#" and ";" after leading blanks are ordinary bytes of
// a key.
TEST(ReadStringsTest, OtherSectionsAndKeys) {
  testing_util::ScopedTempDir dir;
  const std::string path = dir.Sub("updater.ini");
  testing_util::WriteFile(path,
                          "[Strings]\nA=strings\n#A=comment\n;B=comment\n  #A=x\n\t;B=y\n"
                          "[Custom]\nB=2\nA=1\n");
  const char* keys[] = {"A", "B", "#A", ";B"};
  char values[4][kIniValueSize] = {"stale", "stale", "stale", "stale"};
  EXPECT_EQ(ReadIniSection(path.c_str(), keys, 2, values, "Custom"), 0);
  // Values beyond the key count stay untouched; the others start empty.
  EXPECT_EQ(std::string(values[0]) + values[1] + values[2], "12stale");
  EXPECT_EQ(ReadIniSection(path.c_str(), keys, 4, values, nullptr), 5);
  EXPECT_EQ(std::string(values[0]) + values[1] + values[2] + values[3], "stringsxy");
}

}  // namespace

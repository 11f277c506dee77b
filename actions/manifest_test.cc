#include "actions/manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "actions/actions_test_util.h"
#include "actions/add_action.h"
#include "actions/remove_action.h"

namespace actions_test {
namespace {

using testing_util::WriteFile;
using ManifestTest = WorkDirTest;

std::vector<std::string> AllTokens(const char* delimiters, char* text) {
  std::vector<std::string> tokens;
  char* cursor = text;
  while (char* token = next_token(delimiters, &cursor)) tokens.push_back(token);
  return tokens;
}

TEST_F(ManifestTest, ReadsWholeFileAndStopsTextAtNul) {
  std::string data("add \"a\"\n", 8);
  data += std::string("\0remove \"b\"\n", 12);
  WriteFile(Path("m"), data);
  std::unique_ptr<char[]> text = GetManifestContents("m");
  ASSERT_TRUE(text);
  EXPECT_EQ(0, memcmp(text.get(), data.data(), data.size()));
  EXPECT_EQ('\0', text[data.size()]);
  EXPECT_EQ((std::vector<std::string>{"add \"a\""}), AllTokens(kLineDelimiters, text.get()));

  WriteFile(Path("empty"), "");
  text = GetManifestContents("empty");
  ASSERT_TRUE(text);
  EXPECT_EQ('\0', text[0]);
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ManifestTest, ReadFailuresReturnNullWithTheirMessage) {
  EXPECT_FALSE(GetManifestContents("missing"));
  // A directory opens, but reading it fails.
  ASSERT_EQ(0, mkdir(Path("dir").c_str(), 0755));
  EXPECT_FALSE(GetManifestContents(Path("dir").c_str()));
  EXPECT_EQ((std::vector<std::string>{
                "GetManifestContents: error opening manifest file: missing",
                "GetManifestContents: error reading manifest file: " + Path("dir")}),
            LogLines());
}

TEST_F(ManifestTest, LineSplittingMergesEveryKindOfBoundary) {
  char* text = Text("\r\n\none\r\ntwo\n\r\n\rthree\rfour\n\n");
  EXPECT_EQ((std::vector<std::string>{"one", "two", "three", "four"}),
            AllTokens(kLineDelimiters, text));
}

TEST_F(ManifestTest, CursorStatesAfterEachToken) {
  char* cursor = Text("  ab  cd");
  EXPECT_STREQ("ab", next_token(kWordDelimiters, &cursor));
  // Only the one delimiter that ends the token is consumed.
  EXPECT_STREQ(" cd", cursor);
  EXPECT_STREQ("cd", next_token(kWordDelimiters, &cursor));
  EXPECT_EQ(nullptr, cursor);
  EXPECT_EQ(nullptr, next_token(kWordDelimiters, &cursor));

  char* tail = Text("x \t ");
  char* end = tail + 4;
  EXPECT_STREQ("x", next_token(kWordDelimiters, &tail));
  EXPECT_EQ(nullptr, next_token(kWordDelimiters, &tail));
  EXPECT_EQ(end, tail);
  // At the end the cursor stays where it is.
  EXPECT_EQ(nullptr, next_token(kWordDelimiters, &tail));
  EXPECT_EQ(end, tail);
}

TEST_F(ManifestTest, QuoteTokensAreBetweenQuotesOrUpToTheNextQuote) {
  EXPECT_EQ((std::vector<std::string>{"a b", " ", "c"}),
            AllTokens(kQuoteDelimiter, Text("\"a b\" \"c\"")));
  EXPECT_EQ((std::vector<std::string>{"a b"}), AllTokens(kQuoteDelimiter, Text("a b")));
}

TEST_F(ManifestTest, PathRules) {
  struct Case {
    const char* rest;
    bool is_dir;
    const char* path;  // null when rejected
    const char* message;
  } cases[] = {
      {"\"a/b c\"", false, "a/b c", nullptr},
      // Quotes around the last argument are optional.
      {"a b", false, "a b", nullptr},
      // Two blanks after the keyword: the second one is the argument.
      {" \"a\"", false, " ", nullptr},
      {"\"notes..txt\"", false, nullptr, "get_valid_path: paths must not contain '..': notes..txt"},
      {"\"/abs\"", false, nullptr, "get_valid_path: path must be relative: /abs"},
      {"\"a\"", true, nullptr,
       "get_valid_path: directory paths must have a trailing forward slash: a"},
      {"\"../a/\"", true, nullptr, "get_valid_path: paths must not contain '..': ../a"},
      {"\"a//\"", true, "a/", nullptr},
      {"\"d/\"", true, "d", nullptr},
      {"\"\"", false, nullptr, "get_valid_path: unable to determine path: "},
      {"", false, nullptr, "get_valid_path: unable to determine path: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rest);
    ClearLog();
    char* cursor = Text(c.rest);
    char* path = get_valid_path(&cursor, c.is_dir);
    if (c.path) {
      ASSERT_NE(nullptr, path);
      EXPECT_STREQ(c.path, path);
      EXPECT_TRUE(LogLines().empty());
    } else {
      EXPECT_EQ(nullptr, path);
      EXPECT_EQ(std::vector<std::string>{c.message}, LogLines());
    }
  }
  char* null_cursor = nullptr;
  EXPECT_EQ(nullptr, get_valid_path(&null_cursor, false));
}

TEST_F(ManifestTest, ArgumentSeparatorQuirks) {
  auto add_if = Parsed<AddIfAction>("\"t\" \"f\"");
  ASSERT_TRUE(add_if);
  EXPECT_STREQ("t", add_if->test_path);
  EXPECT_STREQ("f", add_if->path);
  // Text after the last argument is ignored.
  auto trailing = Parsed<AddIfNotAction>("\"t\" \"f\" whatever");
  ASSERT_TRUE(trailing);
  EXPECT_STREQ("f", trailing->path);

  // The separator call consumes the second argument.
  ClearLog();
  auto glued = std::make_unique<AddIfAction>();
  EXPECT_EQ(5, glued->Parse(Text("\"t\"\"f\"")));
  EXPECT_EQ(std::vector<std::string>{"get_valid_path: unable to determine path: "}, LogLines());

  // Nothing after the test file: no separator, no message.
  ClearLog();
  auto short_line = std::make_unique<AddIfNotAction>();
  EXPECT_EQ(5, short_line->Parse(Text("\"t\"")));
  EXPECT_TRUE(LogLines().empty());

  EXPECT_EQ(5, std::make_unique<AddAction>()->Parse(nullptr));
  EXPECT_EQ(5, std::make_unique<RmdirAction>()->Parse(Text("\"a\"")));
  auto remove = Parsed<RemoveAction>("a b");
  ASSERT_TRUE(remove);
  EXPECT_STREQ("a b", remove->path);
}

}  // namespace
}  // namespace actions_test

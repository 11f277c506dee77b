#include "actions/action.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "actions/actions_test_util.h"

namespace actions_test {
namespace {

// Notes each call with the progress value at that moment (the report made
// after the previous action), as "execute b 45.00|".
class Recording : public Action {
 public:
  Recording(std::string* calls, char name, int prepare_rv, int execute_rv)
      : calls_(calls), name_(name), prepare_rv_(prepare_rv), execute_rv_(execute_rv) {}
  int Parse(char*) override { return 0; }
  int Check() override { return Note("prepare", prepare_rv_); }
  int Execute() override { return Note("execute", execute_rv_); }
  void Finish(int status) override { Note("finish " + std::to_string(status), 0); }

 private:
  int Note(const std::string& what, int rv) {
    char line[64];
    snprintf(line, sizeof(line), "%s %c %.2f|", what.c_str(), name_, context().progress->percent());
    *calls_ += line;
    return rv;
  }

  std::string* calls_;
  char name_;
  int prepare_rv_, execute_rv_;
};

class ActionListTest : public WorkDirTest {
 protected:
  // A recording action per letter of `names`; the one at `failing` fails in
  // prepare (42) or in execute (6).
  void Fill(ActionList* list, const char* names, int failing = -1, bool in_prepare = false) {
    list->SetContext(&context_);
    for (int i = 0; names[i]; ++i) {
      bool fails = i == failing;
      list->Append(std::make_unique<Recording>(&calls_, names[i], fails && in_prepare ? 42 : 0,
                                               fails && !in_prepare ? 6 : 0));
    }
  }

  std::string calls_;
};

TEST_F(ActionListTest, ProgressOfThreeActions) {
  ActionList empty;
  EXPECT_EQ(40, empty.PrepareAll());
  EXPECT_EQ("empty action list\n", Log());
  ActionList list;
  Fill(&list, "abc");
  EXPECT_EQ(0, RunPhases(&list));
  EXPECT_EQ(100.0f, progress_.percent());
  EXPECT_EQ(
      "prepare a 0.00|prepare b 6.67|prepare c 13.33|execute a 20.00|execute b 45.00|"
      "execute c 70.00|finish 0 a 95.00|finish 0 b 96.67|finish 0 c 98.33|",
      calls_);
}

TEST_F(ActionListTest, FailuresStopThePhaseAndUndoExecutedActionsLastToFirst) {
  ActionList prepare_fails;
  Fill(&prepare_fails, "ab", 0, /*in_prepare=*/true);
  EXPECT_EQ(42, prepare_fails.PrepareAll());
  EXPECT_EQ("prepare a 0.00|", calls_);
  calls_.clear();
  ActionList list;
  Fill(&list, "abcd", 1);
  EXPECT_EQ(6, RunPhases(&list));
  // The finish phase reports the same percentages whatever the order.
  EXPECT_NE(std::string::npos, calls_.find("|execute a 20.00|execute b 38.75|finish 6 b 38.75|"
                                           "finish 6 a 96.25|finish 6 c 97.50|finish 6 d 98.75|"));
  EXPECT_EQ(100.0f, progress_.percent());
  EXPECT_EQ("### execution failed\n", Log());
}

// A large entry moves the bar while it is decoded, not only when its action
// ends: the sampled percentages take several values inside its step. The
// update runs on a thread of its own while this one samples.
TEST_F(ActionListTest, ProgressMovesWhileALargeEntryIsDecoded) {
  std::string big(8 << 20, '\0');
  uint32_t x = 12345;
  for (char& c : big) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  OpenArchive({{"big.bin", big}, {"small.txt", "small"}});
  ActionList list;
  ASSERT_EQ(0, Parse("add \"big.bin\"\nadd \"small.txt\"\n", &list));
  list.SetWorkDir(WorkDir());
  std::atomic<bool> done{false};
  int rv = -1;
  std::thread run([&] {
    rv = RunPhases(&list);
    done = true;
  });
  std::set<float> inside;
  float last = 0;
  while (!done) {
    const float p = progress_.percent();
    EXPECT_GE(p, last);
    last = p;
    // The big file's step starts at 20 and ends just below 95.
    if (p > 20.0f && p < 94.0f) inside.insert(p);
    usleep(200);
  }
  run.join();
  EXPECT_EQ(0, rv);
  EXPECT_EQ(big, ReadFile(Path("big.bin")));
  EXPECT_GE(inside.size(), 4u);
}

// A mixed list over a real tree, the precomplete removals of a complete update
// first, with a failure placed at each position in turn: the tree afterwards
// equals the tree before (contents, modes, links, directories). Replaced links
// are never written through, dangling or not; new links and directories go.
using MixedListTest = WorkDirTest;

TEST_F(MixedListTest, FailureAtEachPositionRestoresTheTree) {
  WriteFile(Path("a"), "old a", 0640);
  WriteFile(Path("b"), "old b", 0755);
  WriteFile(Path("sub/c"), "old c", 0600);
  WriteFile(Path("sub/keep"), "keep", 0644);
  WriteFile(Path("gone/x"), "x", 0444);
  ASSERT_EQ(0, mkdir("empty", 0700));
  ASSERT_EQ(0, symlink("a", "link"));
  ASSERT_EQ(0, symlink("created", "dangling"));
  // Stored without compression, an entry is no bzip2 stream: the file is
  // created and then the decompression fails.
  const std::string raw(5000, 'x');
  OpenArchive({{"a", "new a"},
               {"b", "new b", 0600},
               {"sub/new", "new", 0755},
               {"link", "new l"},
               {"dangling", "new d", 0640},
               {"sub/keep", raw, 0644, false},
               {"new/bad", raw, 0644, false}});
  const Tree before = Snapshot();
  const Tree after = {{"a", "file 0644 new a"},
                      {"b", "file 0600 new b"},
                      {"link", "file 0644 new l"},
                      {"dangling", "file 0640 new d"},
                      {"sub", "dir 0755"},
                      {"sub/keep", "file 0644 keep"},
                      {"sub/new", "file 0755 new"},
                      {"sub/c", "link /abs/t"},
                      {"ln", "dir 0755"},
                      {"ln/up", "link ../sub"},
                      {"d", "dir 0755"},
                      {"d/e", "dir 2775"},
                      {"d/e/f", "dir 0700"}};
  const char* lines[] = {"remove \"a\"",
                         "remove \"gone/x\"",
                         "rmdir \"gone/\"",
                         "add \"a\"",
                         "add-if \"b\" \"b\"",
                         "add \"sub/new\"",
                         "remove \"sub/c\"",
                         "rmdir \"empty/\"",
                         "add \"link\"",
                         "add \"dangling\"",
                         "add-if-not \"b\" \"a\"",
                         "addlink \"sub/c\" \"/abs/t\"",
                         "addlink \"ln/up\" \"../sub\"",
                         "adddir \"d/e/\" \"2775\"",
                         "adddir \"d/e/f/\" \"700\"",
                         "adddir \"sub/\" \"0700\""};
  const size_t n = sizeof(lines) / sizeof(lines[0]);
  // Failing in execute: a replacement and a new file in a new directory cut
  // short, a missing entry; in prepare: the removal of a directory. Last, the
  // list without a failure.
  const std::pair<const char*, int> failures[] = {{"add \"sub/keep\"\n", 39},
                                                  {"add \"new/bad\"\n", 39},
                                                  {"add \"sub/none\"\n", 6},
                                                  {"remove \"sub\"\n", 42},
                                                  {"addlink \"empty\" \"a\"\n", 42},
                                                  {"adddir \"b/\" \"755\"\n", 42},
                                                  {"", 0}};
  for (const auto& [failing, code] : failures) {
    for (size_t at = 0; at <= n; ++at) {
      std::string text;
      for (size_t i = 0; i <= n; ++i)
        text += (i == at ? failing : "") + (i < n ? lines[i] + std::string("\n") : "");
      ActionList list;
      ASSERT_EQ(0, Parse(text, &list));
      EXPECT_EQ(code, RunPhases(&list)) << text;
      EXPECT_EQ("", DiffSnapshots(code ? before : after, Snapshot())) << text;
      if (!code) break;
    }
  }
}

}  // namespace
}  // namespace actions_test

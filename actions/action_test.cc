#include "actions/action.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "actions/actions_test_util.h"
#include "actions/add_action.h"
#include "actions/remove_action.h"

namespace actions_test {
namespace {

using testing_util::DiffSnapshots;
using testing_util::ReadFile;
using testing_util::WriteFile;

// Records every call with the progress value current at that moment (the
// report made after the previous action).
struct Recorder {
  std::vector<std::string> calls;
  std::vector<float> progress;
  int destroyed = 0;
};

class RecordingAction : public Action {
 public:
  RecordingAction(Recorder* recorder, std::string name) : recorder_(recorder), name_(name) {}
  ~RecordingAction() override { ++recorder_->destroyed; }

  int Parse(char*) override { return 0; }
  int Prepare() override {
    Record("prepare");
    if (absent) progress_cost = 0;
    return prepare_result;
  }
  int Execute() override {
    Record("execute");
    return execute_result;
  }
  void Finish(int status) override { Record("finish " + std::to_string(status)); }

  int prepare_result = 0;
  int execute_result = 0;
  bool absent = false;

 private:
  void Record(const std::string& what) {
    recorder_->calls.push_back(what + " " + name_);
    recorder_->progress.push_back(progressPercent.load());
  }

  Recorder* recorder_;
  std::string name_;
};

class ActionListTest : public WorkDirTest {
 protected:
  RecordingAction* Add(ActionList* list, const std::string& name) {
    auto action = std::make_unique<RecordingAction>(&recorder_, name);
    RecordingAction* raw = action.get();
    list->Append(std::move(action));
    return raw;
  }
  // The reports made during a phase of n actions that started at `from`: what
  // the 2nd to n-th call saw, then the value after the phase.
  std::vector<float> Reports(size_t from, size_t n) {
    std::vector<float> out(recorder_.progress.begin() + from + 1,
                           recorder_.progress.begin() + from + n);
    out.push_back(progressPercent.load());
    return out;
  }

  Recorder recorder_;
};

void ExpectNear(const std::vector<float>& expected, const std::vector<float>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(expected[i], actual[i], 0.01) << i;
}

TEST_F(ActionListTest, EmptyListFailsWith40) {
  ActionList list;
  EXPECT_EQ(40, list.PrepareAll());
  EXPECT_EQ(std::vector<std::string>{"empty action list"}, LogLines());
}

TEST_F(ActionListTest, ProgressOfThreeActions) {
  {
    ActionList list;
    for (const char* name : {"a", "b", "c"}) Add(&list, name);
    EXPECT_EQ(3, list.count());
    ASSERT_EQ(0, list.PrepareAll());
    ExpectNear({6.67f, 13.33f, 20}, Reports(0, 3));
    EXPECT_EQ(20.0f, progressPercent.load());
    ASSERT_EQ(0, list.ExecuteAll());
    ExpectNear({45, 70, 95}, Reports(3, 3));
    EXPECT_EQ(95.0f, progressPercent.load());
    list.FinishAll(0);
    ExpectNear({96.67f, 98.33f, 100}, Reports(6, 3));
    EXPECT_EQ(100.0f, progressPercent.load());
    EXPECT_TRUE(runSucceeded);
    EXPECT_EQ(
        (std::vector<std::string>{"prepare a", "prepare b", "prepare c", "execute a", "execute b",
                                  "execute c", "finish 0 a", "finish 0 b", "finish 0 c"}),
        recorder_.calls);
  }
  EXPECT_EQ(3, recorder_.destroyed);
}

TEST_F(ActionListTest, ExecuteProgressFollowsCosts) {
  ActionList list;
  Add(&list, "a")->absent = true;
  Add(&list, "b");
  Add(&list, "c");
  ASSERT_EQ(0, list.PrepareAll());
  ASSERT_EQ(0, list.ExecuteAll());
  // A cost of 0 does not advance the bar.
  ExpectNear({20, 57.5f, 95}, Reports(3, 3));
}

TEST_F(ActionListTest, AllCostsZeroStillEndsAt95) {
  ActionList list;
  for (const char* name : {"a", "b"}) Add(&list, name)->absent = true;
  ASSERT_EQ(0, list.PrepareAll());
  ASSERT_EQ(0, list.ExecuteAll());
  EXPECT_EQ(95.0f, progressPercent.load());
  // The actions count equally then.
  EXPECT_EQ(57.5f, recorder_.progress[3]);
}

TEST_F(ActionListTest, PrepareFailureStopsThePhase) {
  for (int failing = 0; failing < 3; ++failing) {
    SCOPED_TRACE(failing);
    recorder_ = Recorder();
    SetProgressUI(0);
    ActionList list;
    std::vector<RecordingAction*> actions;
    for (const char* name : {"a", "b", "c"}) actions.push_back(Add(&list, name));
    actions[failing]->prepare_result = 42;
    EXPECT_EQ(42, list.PrepareAll());
    EXPECT_EQ(static_cast<size_t>(failing + 1), recorder_.calls.size());
    EXPECT_NEAR(failing * 20.0f / 3, progressPercent.load(), 0.01);
  }
}

TEST_F(ActionListTest, ExecuteFailureUndoesExecutedActionsLastToFirst) {
  ActionList list;
  Add(&list, "a");
  Add(&list, "b")->execute_result = 6;
  Add(&list, "c");
  Add(&list, "d");
  ASSERT_EQ(0, list.PrepareAll());
  int rv = list.ExecuteAll();
  EXPECT_EQ(6, rv);
  list.FinishAll(rv);
  EXPECT_EQ((std::vector<std::string>{"prepare a", "prepare b", "prepare c", "prepare d",
                                      "execute a", "execute b", "finish 6 b", "finish 6 a",
                                      "finish 6 c", "finish 6 d"}),
            recorder_.calls);
  EXPECT_EQ(std::vector<std::string>{"### execution failed"}, LogLines());
  // The finish phase reports the same percentages whatever the order.
  ExpectNear({96.25f, 97.5f, 98.75f, 100}, Reports(6, 4));
  EXPECT_FALSE(runSucceeded);
}

// A mixed list over a real tree, with a failure placed at each position in
// turn: the tree afterwards equals the tree before, byte for byte and mode for
// mode.
class MixedListTest : public WorkDirTest {
 protected:
  void SetUp() override {
    umask(022);
    WriteFile(Path("a"), "old a", 0640);
    WriteFile(Path("b"), "old b", 0755);
    WriteFile(Path("sub/c"), "old c", 0600);
    WriteFile(Path("sub/keep"), "keep", 0644);
    WriteFile(Path("gone/x"), "x", 0444);
    ASSERT_EQ(0, mkdir(Path("empty").c_str(), 0700));
    ASSERT_EQ(0, symlink("a", Path("link").c_str()));
    OpenArchive({{"a", {"new a", 0644}},
                 {"b", {"new b", 0600}},
                 {"sub/new", {"new file", 0755}},
                 {"link", {"new link", 0644}}});
  }

  // The lines of a complete update: the precomplete removals first, then the
  // manifest's own lines, with `extra` inserted before line `at`.
  void Build(ActionList* list, size_t at, const std::string& extra_keyword,
             const std::string& extra) {
    std::vector<std::pair<std::string, std::string>> lines = {
        {"remove", "\"a\""},       {"remove", "\"gone/x\""},
        {"rmdir", "\"gone/\""},    {"add", "\"a\""},
        {"add-if", "\"b\" \"b\""}, {"add", "\"sub/new\""},
        {"remove", "\"sub/c\""},   {"rmdir", "\"empty/\""},
        {"add", "\"link\""},       {"add-if-not", "\"b\" \"a\""}};
    lines.insert(lines.begin() + at, {extra_keyword, extra});
    for (const auto& [keyword, rest] : lines) {
      std::unique_ptr<Action> action;
      if (keyword == "remove") action = std::make_unique<RemoveAction>();
      if (keyword == "rmdir") action = std::make_unique<RmdirAction>();
      if (keyword == "add") action = std::make_unique<AddAction>();
      if (keyword == "add-if") action = std::make_unique<AddIfAction>();
      if (keyword == "add-if-not") action = std::make_unique<AddIfNotAction>();
      ASSERT_EQ(0, action->Parse(Text(rest))) << keyword << " " << rest;
      list->Append(std::move(action));
    }
  }

  static constexpr size_t kLines = 10;
};

TEST_F(MixedListTest, ExecuteFailureAtEachPositionRestoresTheTree) {
  auto before = Snapshot();
  for (size_t at = 0; at <= kLines; ++at) {
    SCOPED_TRACE(at);
    ActionList list;
    // "sub/keep" has no archive entry: the add fails after moving the old
    // file to its backup.
    Build(&list, at, "add", "\"sub/keep\"");
    ASSERT_EQ(0, list.PrepareAll());
    int rv = list.ExecuteAll();
    EXPECT_EQ(6, rv);
    list.FinishAll(rv);
    EXPECT_FALSE(runSucceeded);
    EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
  }
}

TEST_F(MixedListTest, PrepareFailureAtEachPositionChangesNothing) {
  auto before = Snapshot();
  for (size_t at = 0; at <= kLines; ++at) {
    SCOPED_TRACE(at);
    ActionList list;
    Build(&list, at, "remove", "\"sub\"");
    EXPECT_EQ(42, list.PrepareAll());
    EXPECT_EQ("", DiffSnapshots(before, Snapshot()));
  }
}

TEST_F(MixedListTest, SuccessLeavesTheNewTree) {
  ActionList list;
  Build(&list, kLines, "remove", "\"absent\"");
  ASSERT_EQ(0, list.PrepareAll());
  ASSERT_EQ(0, list.ExecuteAll());
  list.FinishAll(0);
  EXPECT_TRUE(runSucceeded);
  std::map<std::string, std::string> expected = {
      {"a", "file 0644 new a"}, {"b", "file 0600 new b"},       {"link", "file 0644 new link"},
      {"sub", "dir 0755"},      {"sub/keep", "file 0644 keep"}, {"sub/new", "file 0755 new file"}};
  EXPECT_EQ("", DiffSnapshots(expected, Snapshot()));
}

}  // namespace
}  // namespace actions_test

// add-if, add-if-not and patch-if: an action that runs only while a test file
// is present (or absent).
#ifndef UPDATER_ACTIONS_CONDITIONAL_ACTION_H_
#define UPDATER_ACTIONS_CONDITIONAL_ACTION_H_

#include <unistd.h>

#include "actions/manifest.h"
#include "base/error_codes.h"
#include "fileops/beneath.h"

// `Base` with a leading "test" argument. The test is made once, in Prepare, so
// it sees the installation as it was before any action executed; when the
// condition does not hold, test_path is cleared and the action does nothing
// in any phase (no log line, no extraction, no patch number).
template <typename Base>
class ConditionalAction : public Base {
 public:
  // "test" then the arguments of `Base`: 0, or 5 when an argument or the
  // separator between them is missing, or a path breaks the rules.
  int Parse(char* line) override {
    test_path = get_valid_path(&line, false);
    if (!test_path) return kParseError;
    if (!next_token(kQuoteDelimiter, &line)) return kParseError;
    return Base::Parse(line);
  }
  int Prepare() override {
    bool present = access_beneath(test_path, F_OK) == 0;
    if (present != run_if_present_) {
      test_path = nullptr;
      return kOk;
    }
    return Base::Prepare();
  }
  int Execute() override { return test_path ? Base::Execute() : kOk; }
  // Nothing when the condition does not hold now, as Prepare will find it.
  Action::Change GetChange(const char** path) const override {
    if (!test_path || (access_beneath(test_path, F_OK) == 0) != run_if_present_) {
      *path = nullptr;
      return Action::Change::kNone;
    }
    return Base::GetChange(path);
  }
  void Finish(int status) override {
    if (test_path) Base::Finish(status);
  }

  // Validated test path; null once the action is skipped. The test follows
  // symbolic links: a dangling link counts as absent.
  char* test_path = nullptr;

 protected:
  explicit ConditionalAction(bool run_if_present) : run_if_present_(run_if_present) {}

 private:
  const bool run_if_present_;
};

#endif  // UPDATER_ACTIONS_CONDITIONAL_ACTION_H_

// add-if, add-if-not and patch-if: an action that runs only while a test file
// is present (or absent).
#ifndef UPDATER_ACTIONS_CONDITIONAL_ACTION_H_
#define UPDATER_ACTIONS_CONDITIONAL_ACTION_H_

#include <unistd.h>

#include <string>

#include "actions/manifest.h"
#include "actions/planned_tree.h"
#include "actions/update_context.h"
#include "base/error_codes.h"
#include "fileops/beneath.h"

// `Base` with a leading "test" argument. The test is made once, in Check, so
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
  int Check() override {
    // Before anything changes, and through the name recovery would restore.
    const std::string at = this->planned().DiskName(test_path);
    bool present =
        !at.empty() && access_beneath(this->context().install_dir, at.c_str(), F_OK) == 0;
    if (present != run_if_present_) {
      const char* target;
      Base::GetChange(&target);
      this->Plan("skip", target, "%s: %s is %s", this->Keyword(), test_path,
                 present ? "present" : "absent");
      test_path = nullptr;
      return kOk;
    }
    return Base::Check();
  }
  int Stage() override { return test_path ? Base::Stage() : kOk; }
  int Execute() override { return test_path ? Base::Execute() : kOk; }
  // Nothing when the condition does not hold now, as Prepare will find it.
  Action::Change GetChange(const char** path) const override {
    if (!test_path ||
        (access_beneath(this->context().install_dir, test_path, F_OK) == 0) != run_if_present_) {
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

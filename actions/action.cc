#include "actions/action.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/error_codes.h"
#include "base/progress.h"
#include "base/run_settings.h"
#include "base/update_log.h"
#include "fileops/run_backup.h"

namespace {

constexpr float kPrepareStart = 0.0f;
constexpr float kPrepareSpan = 20.0f;
constexpr float kExecuteStart = 20.0f;
constexpr float kExecuteSpan = 75.0f;
constexpr float kFinishStart = 95.0f;
constexpr float kFinishSpan = 5.0f;

void ReportProgress(float start, float span, int64_t done, int64_t total) {
  SetProgressUI(start + static_cast<float>(static_cast<double>(done) / total * span));
}

bool StopRequested() {
  if (!stopRequested.load(std::memory_order_relaxed)) return false;
  LOG("stopped by a signal");
  return true;
}

}  // namespace

ActionList::~ActionList() {
  Action* action = first_;
  while (action) {
    Action* next = action->next;
    delete action;
    action = next;
  }
}

void ActionList::Append(std::unique_ptr<Action> action) {
  Action* raw = action.release();
  raw->next = nullptr;
  raw->work_dir_ = work_dir_;
  if (last_) {
    last_->next = raw;
  } else {
    first_ = raw;
  }
  last_ = raw;
  ++count_;
}

void ActionList::SetWorkDir(int fd) {
  work_dir_ = fd;
  for (Action* a = first_; a; a = a->next) a->work_dir_ = fd;
}

void ActionList::AdoptText(std::unique_ptr<char[]> text) { texts_.push_back(std::move(text)); }

int ActionList::PrepareAll() {
  if (count_ == 0) {
    LOG("empty action list");
    return kEmptyError;
  }
  int32_t i = 0;
  for (Action* action = first_; action; action = action->next) {
    if (StopRequested()) return kStopSignal;
    int rv = action->Prepare();
    if (rv != 0) return rv;
    ReportProgress(kPrepareStart, kPrepareSpan, ++i, count_);
  }
  return kOk;
}

int ActionList::ExecuteAll() {
  int64_t total = 0;
  for (Action* action = first_; action; action = action->next) total += action->progress_cost;

  int64_t done = 0;
  executed_ = 0;
  for (Action* action = first_; action; action = action->next) {
    if (StopRequested()) {
      LOG("### execution failed");
      return kStopSignal;
    }
    ++executed_;
    int rv = action->Execute();
    if (rv != 0) {
      LOG("### execution failed");
      return rv;
    }
    done += action->progress_cost;
    // When nothing has a cost (every target absent) the actions count
    // equally, so the phase still ends at 95 and never divides by zero.
    if (total > 0) {
      ReportProgress(kExecuteStart, kExecuteSpan, done, total);
    } else {
      ReportProgress(kExecuteStart, kExecuteSpan, executed_, count_);
    }
  }
  return kOk;
}

int ActionList::FinishAll(int status) {
  std::vector<Action*> order;
  order.reserve(count_);
  for (Action* action = first_; action; action = action->next) order.push_back(action);
  if (status != 0) {
    // Undoing in reverse lets each action find what its own Execute left: a
    // file removed early and added again later is restored by the add first
    // (removing the new file and bringing back the removal's backup), and only
    // then does the removal see that nothing is left to restore. The actions
    // never executed come last, so none of them can take a backup that an
    // executed action still has to put back.
    size_t executed = std::min(order.size(), static_cast<size_t>(executed_));
    std::reverse(order.begin(), order.begin() + executed);
  }
  int32_t i = 0;
  for (Action* action : order) {
    action->Finish(status);
    ReportProgress(kFinishStart, kFinishSpan, ++i, count_);
  }
  if (status == 0) {
    runSucceeded = true;
    return kOk;
  }
  size_t left = backups_outstanding();
  if (left == 0) return kOk;
  LOG("the rollback could not restore %zu files", left);
  return kWriteError;
}

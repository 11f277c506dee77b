#include "actions/action.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "actions/check_report.h"
#include "actions/planned_tree.h"
#include "actions/update_context.h"
#include "base/error_codes.h"
#include "base/paths.h"
#include "base/progress.h"
#include "base/update_log.h"
#include "fileops/run_backup.h"

namespace {

constexpr float kPrepareStart = 0.0f;
constexpr float kPrepareSpan = 20.0f;
constexpr float kExecuteStart = 20.0f;
constexpr float kExecuteSpan = 75.0f;
constexpr float kFinishStart = 95.0f;
constexpr float kFinishSpan = 5.0f;

void ReportProgress(const UpdateContext& context, float start, float span, int64_t done,
                    int64_t total) {
  if (!context.progress) return;
  context.progress->Set(start + static_cast<float>(static_cast<double>(done) / total * span));
}

// Starts `owner`'s step, which ends where `done` of `total` puts it.
void BeginStep(const UpdateContext& context, const void* owner, float start, float span,
               int64_t done, int64_t total, uint64_t work) {
  if (!context.progress || work == 0) return;
  context.progress->BeginStep(
      owner, start + static_cast<float>(static_cast<double>(done) / total * span), work);
}

bool StopRequested(const UpdateContext& context) {
  if (!context.stop_requested || !context.stop_requested->load(std::memory_order_relaxed)) {
    return false;
  }
  LOG("stopped by a signal");
  return true;
}

std::string FormatV(const char* fmt, va_list ap) {
  char buf[kMaxPath + 256];
  vsnprintf(buf, sizeof(buf), fmt, ap);
  return buf;
}

}  // namespace

UpdateContext& Action::context() const { return *list_->context(); }

StepMeter Action::Meter() const { return StepMeter(context().progress, this); }

int32_t Action::WorkCost(uint64_t work, uint64_t unit) {
  return static_cast<int32_t>(1 + std::min<uint64_t>(work / unit, INT32_MAX / 2));
}

RunBackups& Action::backups() const { return list_->backups(); }

RunBackups& ActionList::backups() {
  return context_->backups ? *context_->backups : *default_backups_;
}

PlannedTree& Action::planned() const { return list_->planned(); }

int Action::Refuse(int code, bool in_execute, const char* path, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string message = FormatV(fmt, ap);
  va_end(ap);
  LOG("%s", message.c_str());
  if (CheckReport* report = context().report) report->Fail(code, !in_execute, path, message);
  return code;
}

void Action::Plan(const char* kind, const char* path, const char* fmt, ...) {
  CheckReport* report = context().report;
  if (!report) return;
  va_list ap;
  va_start(ap, fmt);
  report->Plan(kind, path, FormatV(fmt, ap));
  va_end(ap);
}

ActionList::ActionList()
    : default_context_(std::make_unique<UpdateContext>()),
      default_backups_(std::make_unique<RunBackups>()),
      context_(default_context_.get()),
      planned_(std::make_unique<PlannedTree>()) {}

void ActionList::SetContext(UpdateContext* context) {
  context_ = context;
  planned_->set_root(context->install_dir);
  default_backups_->root = context->install_dir;
}

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
  raw->list_ = this;
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
  // Weighed up front: a patch's entry takes as long to decode as an added
  // file's of the same stored size.
  std::vector<std::pair<uint64_t, int32_t>> weights;
  weights.reserve(count_);
  int64_t total = 0;
  for (Action* action = first_; action; action = action->next) {
    const uint64_t work = action->PrepareWork();
    weights.emplace_back(work, Action::WorkCost(work, Action::kDecodeCostUnit));
    total += weights.back().second;
  }
  int64_t done = 0;
  size_t i = 0;
  for (Action* action = first_; action; action = action->next, ++i) {
    if (StopRequested(*context_)) return kStopSignal;
    done += weights[i].second;
    BeginStep(*context_, action, kPrepareStart, kPrepareSpan, done, total, weights[i].first);
    int rv = action->Check();
    if (rv == kOk) rv = action->Stage();
    if (rv != 0) return rv;
    ReportProgress(*context_, kPrepareStart, kPrepareSpan, done, total);
  }
  return kOk;
}

int ActionList::CheckAll() {
  if (count_ == 0) {
    LOG("empty action list");
    return kEmptyError;
  }
  int first = kOk;
  for (Action* action = first_; action; action = action->next) {
    int rv = action->Check();
    if (first == kOk) first = rv;
  }
  return first;
}

int ActionList::ExecuteAll() {
  int64_t total = 0;
  for (Action* action = first_; action; action = action->next) total += action->progress_cost;

  int64_t done = 0;
  executed_ = 0;
  for (Action* action = first_; action; action = action->next) {
    if (StopRequested(*context_)) {
      LOG("### execution failed");
      return kStopSignal;
    }
    ++executed_;
    if (total > 0) {
      BeginStep(*context_, action, kExecuteStart, kExecuteSpan, done + action->progress_cost, total,
                action->execute_work);
    }
    int rv = action->Execute();
    if (rv != 0) {
      LOG("### execution failed");
      return rv;
    }
    done += action->progress_cost;
    // When nothing has a cost (every target absent) the actions count
    // equally, so the phase still ends at 95 and never divides by zero.
    if (total > 0) {
      ReportProgress(*context_, kExecuteStart, kExecuteSpan, done, total);
    } else {
      ReportProgress(*context_, kExecuteStart, kExecuteSpan, executed_, count_);
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
    ReportProgress(*context_, kFinishStart, kFinishSpan, ++i, count_);
  }
  if (status == 0) return kOk;
  size_t left = backups().outstanding();
  if (left == 0) return kOk;
  LOG("the rollback could not restore %zu files", left);
  return kWriteError;
}

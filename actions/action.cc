#include "actions/action.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "archive/archive_reader.h"
#include "driver/run_settings.h"
#include "driver/update_log.h"
#include "fileops/fileops.h"
#include "ui/progress.h"

namespace {

constexpr float kPrepareStart = 0.0f;
constexpr float kPrepareSpan = 20.0f;
constexpr float kExecuteStart = 20.0f;
constexpr float kExecuteSpan = 75.0f;
constexpr float kFinishStart = 95.0f;
constexpr float kFinishSpan = 5.0f;

// Decoders stop taking entries while this many decoded bytes wait for their
// actions: enough to keep decoding through the largest files while the worker
// waits on one, without filling the disk far ahead of the run.
constexpr int64_t kMaxAheadBytes = int64_t{128} << 20;

void ReportProgress(float start, float span, int64_t done, int64_t total) {
  SetProgressUI(start + static_cast<float>(static_cast<double>(done) / total * span));
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
  if (last_) {
    last_->next = raw;
  } else {
    first_ = raw;
  }
  last_ = raw;
  ++count_;
}

void ActionList::AdoptText(std::unique_ptr<char[]> text) { texts_.push_back(std::move(text)); }

int ActionList::PrepareAll() {
  if (count_ == 0) {
    LOG("empty action list");
    return kEmptyError;
  }
  int32_t i = 0;
  for (Action* action = first_; action; action = action->next) {
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

void ActionList::FinishAll(int status) {
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
  if (status == 0) runSucceeded = true;
}

bool Action::TakeEarlyEntry(const char* dest) {
  return predecoder_ && predecoder_->Take(predecode_slot_, dest);
}

EntryPredecoder::EntryPredecoder(ActionList* list) {
  for (bool in_prepare : {true, false}) {
    for (Action* action = list->first(); action; action = action->next) {
      Action::EarlyEntry entry = action->GetEarlyEntry();
      if (!entry.name || entry.in_prepare != in_prepare) continue;
      action->predecoder_ = this;
      action->predecode_slot_ = slots_.size();
      slots_.push_back(Slot{action, entry.name, entry.mode});
    }
  }
}

EntryPredecoder::~EntryPredecoder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].state == State::kDecoded) Drop(i);
    slots_[i].action->predecoder_ = nullptr;
  }
}

void EntryPredecoder::Drop(size_t slot) {
  char hidden[kPathBufferSize];
  if (HiddenPath(slot, hidden, sizeof(hidden))) remove(hidden);
  ahead_bytes_ -= slots_[slot].bytes;
}

int EntryPredecoder::DefaultThreads() {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return cpus <= 1 ? 0 : static_cast<int>(std::min(cpus, 2L));
}

void EntryPredecoder::Start(int threads) {
  if (slots_.empty()) return;
  for (int i = 0; i < threads; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, DecoderMain, this) != 0) break;
    threads_.push_back(thread);
  }
}

bool EntryPredecoder::Take(size_t i, const char* dest) {
  std::unique_lock<std::mutex> lock(mutex_);
  // Slots are taken in their order, so the ones before `i` still untaken
  // belong to actions that skipped their entry (a conditional add or patch
  // whose test failed): nobody decodes them any more, and their files go.
  bool all_done = true;
  for (size_t k = skipped_; k < i; ++k) {
    Slot& before = slots_[k];
    if (before.state == State::kDecoding) {
      all_done = false;
      continue;
    }
    if (before.state == State::kDecoded) Drop(k);
    before.state = State::kTaken;
    if (all_done) skipped_ = k + 1;
  }
  Slot& slot = slots_[i];
  changed_.wait(lock, [&slot] { return slot.state != State::kDecoding; });
  const bool decoded = slot.state == State::kDecoded;
  if (decoded) ahead_bytes_ -= slot.bytes;
  slot.state = State::kTaken;
  lock.unlock();
  changed_.notify_all();

  char hidden[kPathBufferSize];
  if (!decoded || !HiddenPath(i, hidden, sizeof(hidden))) return false;
  // The same file system as any path under applyToDir, as a rule; where it
  // is not, the action extracts as usual.
  if (rename(hidden, dest) == 0) return true;
  remove(hidden);
  return false;
}

bool EntryPredecoder::HiddenPath(size_t slot, char* out, size_t size) const {
  int n = snprintf(out, size, "%s/updating/.early-%zu", applyToDir, slot);
  return n >= 0 && static_cast<size_t>(n) < size;
}

void* EntryPredecoder::DecoderMain(void* self) {
  static_cast<EntryPredecoder*>(self)->Decode();
  return nullptr;
}

void EntryPredecoder::Decode() {
  ArchiveDecoder decoder(&gArchiveReader);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || ahead_bytes_ < kMaxAheadBytes; });
    while (next_ < slots_.size() && slots_[next_].state != State::kWaiting) ++next_;
    if (stop_ || next_ == slots_.size()) return;
    Slot& slot = slots_[next_];
    char hidden[kPathBufferSize];
    const bool named = HiddenPath(next_++, hidden, sizeof(hidden));
    slot.state = State::kDecoding;
    lock.unlock();

    // A file of that name left by an earlier run would keep its own mode.
    if (named) remove(hidden);
    struct stat st;
    bool ok = named && decoder.ExtractToFile(slot.name.c_str(), hidden, slot.mode, &stop_) == kOk &&
              stat(hidden, &st) == 0;
    if (named && !ok) remove(hidden);

    lock.lock();
    slot.state = ok ? State::kDecoded : State::kFailed;
    if (ok) {
      slot.bytes = st.st_size;
      ahead_bytes_ += st.st_size;
    }
    changed_.notify_all();
  }
}

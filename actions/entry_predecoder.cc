#include "actions/entry_predecoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "actions/update_context.h"
#include "archive/archive_reader.h"
#include "archive/decoder_budget.h"
#include "base/error_codes.h"
#include "base/paths.h"
#include "fileops/beneath.h"

namespace {

// Decoders stop taking entries while this many decoded bytes wait for their
// actions: enough to keep decoding through the largest files while the worker
// waits on one, without filling the disk far ahead of the run.
constexpr int64_t kMaxAheadBytes = int64_t{128} << 20;

constexpr size_t kHiddenNameSize = 32;

}  // namespace

bool Action::TakeEarlyEntry(const char* dest) {
  if (!predecoder_) return false;
  BeneathPath path(context().install_dir, dest);
  return predecoder_->Take(predecode_slot_, path.ok() ? path.dir() : -1, path.name());
}

bool Action::TakeEarlyEntryAt(int dir, const char* name) {
  return predecoder_ && predecoder_->Take(predecode_slot_, dir, name);
}

EntryPredecoder::EntryPredecoder(ActionList* list, int work_dir)
    : work_dir_(work_dir),
      archive_(list->context()->archive),
      progress_(list->context()->progress) {
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
  gDecoderBudget.WakeAll();
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].state == State::kDecoded) Drop(i);
    slots_[i].action->predecoder_ = nullptr;
  }
}

void EntryPredecoder::Drop(size_t slot) {
  char hidden[kHiddenNameSize];
  HiddenName(slot, hidden);
  unlinkat(work_dir_, hidden, 0);
  ahead_bytes_ -= slots_[slot].bytes;
}

int EntryPredecoder::DefaultThreads() {
  const int cpus = gDecoderBudget.capacity();
  return cpus <= 1 ? 0 : cpus;
}

void EntryPredecoder::Start(int threads) {
  if (slots_.empty()) return;
  for (int i = 0; i < threads; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, DecoderMain, this) != 0) break;
    threads_.push_back(thread);
  }
}

bool EntryPredecoder::Take(size_t i, int dir, const char* name) {
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

  if (!decoded) return false;
  char hidden[kHiddenNameSize];
  HiddenName(i, hidden);
  // The same file system as the apply-to directory, as a rule; where it is
  // not (or the destination cannot be resolved), the action extracts as usual.
  if (dir >= 0 && renameat(work_dir_, hidden, dir, name) == 0) return true;
  unlinkat(work_dir_, hidden, 0);
  return false;
}

void EntryPredecoder::HiddenName(size_t slot, char* out) {
  snprintf(out, kHiddenNameSize, ".early-%zu", slot);
}

void* EntryPredecoder::DecoderMain(void* self) {
  static_cast<EntryPredecoder*>(self)->Decode();
  return nullptr;
}

void EntryPredecoder::Decode() {
  ArchiveDecoder decoder(archive_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || ahead_bytes_ < kMaxAheadBytes; });
    while (next_ < slots_.size() && slots_[next_].state != State::kWaiting) ++next_;
    if (stop_ || next_ == slots_.size()) return;
    // A thread of the budget while decoding only: one idle here leaves its
    // core to the parallel decoding of a large entry.
    lock.unlock();
    const bool acquired = gDecoderBudget.Acquire(stop_);
    lock.lock();
    while (next_ < slots_.size() && slots_[next_].state != State::kWaiting) ++next_;
    if (!acquired || stop_ || next_ == slots_.size()) {
      if (acquired) gDecoderBudget.Release();
      return;
    }
    Slot& slot = slots_[next_];
    char hidden[kHiddenNameSize];
    HiddenName(next_++, hidden);
    slot.state = State::kDecoding;
    lock.unlock();

    // Created afresh, never through a name already there; the work
    // directory is the run's own, so only the run's files can be in it.
    // Counted in the action's own step only: the bar moves while its action
    // waits for this decoding.
    struct stat st;
    StepMeter meter(progress_, slot.action);
    bool ok = decoder.ExtractToFileAt(slot.name.c_str(), work_dir_, hidden,
                                      O_EXCL | O_NOFOLLOW | O_NONBLOCK, slot.mode, &stop_,
                                      &meter) == kOk &&
              fstatat(work_dir_, hidden, &st, AT_SYMLINK_NOFOLLOW) == 0;
    gDecoderBudget.Release();
    if (!ok) unlinkat(work_dir_, hidden, 0);

    lock.lock();
    slot.state = ok ? State::kDecoded : State::kFailed;
    if (ok) {
      slot.bytes = st.st_size;
      ahead_bytes_ += st.st_size;
    }
    changed_.notify_all();
  }
}

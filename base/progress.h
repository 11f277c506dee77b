// The run's progress, shared by the worker that applies the update, the
// decoders that work for it, and the progress window on the main thread
// (reader). The percentage is one 32-bit word: the worker stores the value
// each action ends at, and any thread may raise it within the step under
// way (compare-and-swap, never lowering it), so the window sees it move while
// a long extraction or patch is done, not only between actions. No lock.
#ifndef UPDATER_BASE_PROGRESS_H_
#define UPDATER_BASE_PROGRESS_H_

#include <atomic>
#include <cstdint>

#include "base/work_meter.h"

class Progress {
 public:
  // Publishes the run's progress in per cent (0 to 100).
  void Set(float percent) { percent_.store(percent, std::memory_order_relaxed); }
  float percent() const { return percent_.load(std::memory_order_relaxed); }
  // Starts the worker's next step, owned by `owner`: it moves the percentage
  // from where it is towards `end` as `work` units are done through
  // Advance(owner, ...). The worker still Sets `end` when the step is over.
  void BeginStep(const void* owner, float end, uint64_t work);
  // Adds `units` of the work of `owner`'s step; ignored unless that step is
  // the one under way. Any thread.
  void Advance(const void* owner, uint64_t units);
  // Asks the window to close; called at the very end of every run.
  void Quit() { quit_.store(1, std::memory_order_relaxed); }
  bool quit_requested() const { return quit_.load(std::memory_order_relaxed) != 0; }

 private:
  std::atomic<float> percent_{0.0f};
  std::atomic<int32_t> quit_{0};
  std::atomic<const void*> step_owner_{nullptr};
  std::atomic<float> step_start_{0.0f};
  std::atomic<float> step_end_{0.0f};
  std::atomic<uint64_t> step_work_{0};
  std::atomic<uint64_t> step_done_{0};
  static_assert(sizeof(std::atomic<float>) == 4 && sizeof(std::atomic<int32_t>) == 4,
                "the values the window reads must be single 32-bit words");
};

// A WorkMeter for one owner's steps.
class StepMeter final : public WorkMeter {
 public:
  StepMeter(Progress* progress, const void* owner) : progress_(progress), owner_(owner) {}
  void Advance(uint64_t units) override {
    if (progress_) progress_->Advance(owner_, units);
  }

 private:
  Progress* const progress_;
  const void* const owner_;
};

#endif  // UPDATER_BASE_PROGRESS_H_

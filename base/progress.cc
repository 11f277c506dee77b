#include "base/progress.h"

#include <algorithm>

void Progress::BeginStep(const void* owner, float end, uint64_t work) {
  // Unowned while the fields change: a late Advance of the step before cannot
  // mix its count into this one.
  step_owner_.store(nullptr, std::memory_order_release);
  step_start_.store(percent(), std::memory_order_relaxed);
  step_end_.store(end, std::memory_order_relaxed);
  step_work_.store(work, std::memory_order_relaxed);
  step_done_.store(0, std::memory_order_relaxed);
  step_owner_.store(owner, std::memory_order_release);
}

void Progress::Advance(const void* owner, uint64_t units) {
  if (!owner || step_owner_.load(std::memory_order_acquire) != owner) return;
  const uint64_t work = step_work_.load(std::memory_order_relaxed);
  if (work == 0) return;
  const uint64_t done =
      std::min(work, step_done_.fetch_add(units, std::memory_order_relaxed) + units);
  const float start = step_start_.load(std::memory_order_relaxed);
  const float end = step_end_.load(std::memory_order_relaxed);
  const float target =
      start + static_cast<float>((end - start) * (static_cast<double>(done) / work));
  // The step may have ended meanwhile; a value of its own is never above
  // its end, which is where the next one starts.
  if (step_owner_.load(std::memory_order_acquire) != owner) return;
  float seen = percent_.load(std::memory_order_relaxed);
  while (seen < target &&
         !percent_.compare_exchange_weak(seen, target, std::memory_order_relaxed)) {
  }
}

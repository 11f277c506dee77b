#include "archive/decoder_budget.h"

#include <unistd.h>

DecoderBudget gDecoderBudget;

namespace {

// Physical memory per decoder thread at least: a thread holds about 8 MiB
// (its bzip2 state and blocks in flight), a small share of this.
constexpr long long kMemoryPerThread = 64LL << 20;

}  // namespace

DecoderBudget::DecoderBudget() {
  long long threads = sysconf(_SC_NPROCESSORS_ONLN);
  const long long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0 && pages * page_size / kMemoryPerThread < threads) {
    threads = pages * page_size / kMemoryPerThread;
  }
  capacity_ = threads < 1 ? 1 : static_cast<int>(threads);
}

int DecoderBudget::capacity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capacity_;
}

void DecoderBudget::SetCapacity(int threads) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    capacity_ = threads < 1 ? 1 : threads;
  }
  freed_.notify_all();
}

bool DecoderBudget::TryAcquire() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (taken_ >= capacity_) return false;
  ++taken_;
  return true;
}

bool DecoderBudget::Acquire(const std::atomic<bool>& stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  freed_.wait(lock, [&] { return stop || taken_ < capacity_; });
  if (stop) return false;
  ++taken_;
  return true;
}

void DecoderBudget::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --taken_;
  }
  freed_.notify_one();
}

void DecoderBudget::WakeAll() {
  // Taking the lock orders the waiters' look at `stop` after its store.
  { std::lock_guard<std::mutex> lock(mutex_); }
  freed_.notify_all();
}

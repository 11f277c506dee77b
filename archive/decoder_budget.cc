#include "archive/decoder_budget.h"

#include <unistd.h>

DecoderBudget gDecoderBudget;

DecoderBudget::DecoderBudget() {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  capacity_ = cpus < 1 ? 1 : static_cast<int>(cpus);
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

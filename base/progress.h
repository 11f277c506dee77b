// The run's progress, shared by the worker that applies the update (writer)
// and the progress window on the main thread (reader). Each value is one
// 32-bit word written by one thread and read by the other: single relaxed
// atomic loads and stores, no lock.
#ifndef UPDATER_BASE_PROGRESS_H_
#define UPDATER_BASE_PROGRESS_H_

#include <atomic>
#include <cstdint>

class Progress {
 public:
  // Publishes the run's progress in per cent (0 to 100).
  void Set(float percent) { percent_.store(percent, std::memory_order_relaxed); }
  float percent() const { return percent_.load(std::memory_order_relaxed); }
  // Asks the window to close; called at the very end of every run.
  void Quit() { quit_.store(1, std::memory_order_relaxed); }
  bool quit_requested() const { return quit_.load(std::memory_order_relaxed) != 0; }

 private:
  std::atomic<float> percent_{0.0f};
  std::atomic<int32_t> quit_{0};
  static_assert(sizeof(std::atomic<float>) == 4 && sizeof(std::atomic<int32_t>) == 4,
                "the shared values must be single 32-bit words");
};

#endif  // UPDATER_BASE_PROGRESS_H_

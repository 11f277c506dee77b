// The process's decoder threads: one per online processor, shared by every
// part that decodes bzip2 on threads of its own (the entry predecoder, the
// parallel stream decoder), so that together they never ask for more cores
// than the machine has.
#ifndef UPDATER_ARCHIVE_DECODER_BUDGET_H_
#define UPDATER_ARCHIVE_DECODER_BUDGET_H_

#include <atomic>
#include <condition_variable>
#include <mutex>

class DecoderBudget {
 public:
  // Starts with one thread per online processor, fewer where physical
  // memory is scarce (one per 64 MiB).
  DecoderBudget();

  // The number of threads the budget holds in all.
  int capacity() const;
  // Sets the number of threads (at least 1); for callers that know better
  // than the processor count. Threads already taken stay taken.
  void SetCapacity(int threads);
  // Takes one thread if one is free.
  bool TryAcquire();
  // Waits for a free thread; false, with none taken, once `stop` is true
  // (WakeAll makes the waiters look at it).
  bool Acquire(const std::atomic<bool>& stop);
  void Release();
  void WakeAll();

 private:
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  int capacity_;
  int taken_ = 0;
};

// Process-wide because what it shares out is the machine's processors: every
// reader, decoder and run in the process draws on this one budget, so that
// together they never start more decoding threads than there are cores.
extern DecoderBudget gDecoderBudget;

#endif  // UPDATER_ARCHIVE_DECODER_BUDGET_H_

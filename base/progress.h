// The two values the worker publishes for the progress window. Each is one
// 32-bit value written only by the worker and read only by the main thread:
// single relaxed atomic loads and stores, no lock.
#ifndef UPDATER_BASE_PROGRESS_H_
#define UPDATER_BASE_PROGRESS_H_

#include <atomic>
#include <cstdint>

extern std::atomic<float> progressPercent;  // 0 to 100
extern std::atomic<int32_t> quitRequested;  // boolean

// Publishes the run's progress in per cent.
void SetProgressUI(float percent);
// Asks the window to close; called at the very end of every run.
void QuitProgressUI();

#endif  // UPDATER_BASE_PROGRESS_H_

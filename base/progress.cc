#include "base/progress.h"

std::atomic<float> progressPercent{0.0f};
std::atomic<int32_t> quitRequested{0};

static_assert(sizeof(std::atomic<float>) == 4 && sizeof(std::atomic<int32_t>) == 4,
              "the shared values must be single 32-bit words");

namespace {

Progress legacy_progress;

}  // namespace

Progress* LegacyProgress() { return &legacy_progress; }

void SetProgressUI(float percent) {
  progressPercent.store(percent, std::memory_order_relaxed);
  legacy_progress.Set(percent);
}

void QuitProgressUI() {
  quitRequested.store(1, std::memory_order_relaxed);
  legacy_progress.Quit();
}

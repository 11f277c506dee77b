#include "base/progress.h"

std::atomic<float> progressPercent{0.0f};
std::atomic<int32_t> quitRequested{0};

static_assert(sizeof(std::atomic<float>) == 4 && sizeof(std::atomic<int32_t>) == 4,
              "the shared values must be single 32-bit words");

void SetProgressUI(float percent) { progressPercent.store(percent, std::memory_order_relaxed); }

void QuitProgressUI() { quitRequested.store(1, std::memory_order_relaxed); }

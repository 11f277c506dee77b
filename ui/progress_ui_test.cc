// Without a display, as CI runs the updater and most tests; the window itself
// is tested under a real X server in progress_window_test.cc.
#include "ui/progress_ui.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

TEST(ProgressUiTest, WithoutDisplayShowsNothingAtOnce) {
  unsetenv("DISPLAY");
  const ProgramPath program;
  Progress progress;
  ProgressWindow window(&progress, &program);
  window.Prepare("/opt/app/updater");
  progress.Set(10.0f);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(window.Run(), -1);
  // Without GTK there is no half-second wait.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
}

// Without a display, as CI runs the updater and most tests; the window itself
// is tested under a real X server in progress_window_test.cc.
#include "ui/progress_ui.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

TEST(ProgressUiTest, WithoutDisplayTakesGtkOptionsAndShowsNothingAtOnce) {
  unsetenv("DISPLAY");
  char prog[] = "/opt/app/updater", klass[] = "--class=Updater", keep[] = "/update/dir",
       name[] = "--name=updater";
  char* args[] = {prog, klass, keep, name, nullptr};
  int argc = 4;
  char** argv = args;
  EXPECT_EQ(PrepareProgressUI(&argc, &argv), 0);
  ASSERT_EQ(argc, 2);
  EXPECT_EQ(std::string(argv[0]) + " " + argv[1], "/opt/app/updater /update/dir");
  SetProgressUI(10.0f);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunProgressUI(), -1);
  // Without GTK there is no half-second wait.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
}

// Without a display: how CI runs the updater and most tests. The window itself
// is tested under a real X server in progress_window_test.cc.
#include "ui/progress_ui.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <string>

namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

TEST(ProgressUiTest, WithoutDisplayTakesGtkOptionsAndShowsNothingAtOnce) {
  unsetenv("DISPLAY");
  char prog[] = "/opt/app/updater", klass[] = "--class=Updater", keep[] = "/update/dir",
       name[] = "--name=updater";
  char* args[] = {prog, klass, keep, name, nullptr};
  int argc = 4;
  char** argv = args;
  EXPECT_EQ(PrepareProgressUI(&argc, &argv), 0);
  ASSERT_EQ(argc, 2);
  EXPECT_EQ(std::string(argv[0]), prog);
  EXPECT_EQ(std::string(argv[1]), keep);

  SetProgressUI(10.0f);
  long long start = NowMs();
  EXPECT_EQ(RunProgressUI(), -1);
  // Without GTK there is no half-second wait.
  EXPECT_LT(NowMs() - start, 450);
}

}  // namespace

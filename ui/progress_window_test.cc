// The progress window in a real X server: this test starts its own Xvfb, runs
// progress_window_demo (the window and a worker thread fed from a pipe) and
// watches the window from outside through Xlib, as a window manager would.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "testing/test_util.h"

// Last: Xlib's macros (None, Bool, Status) would clash with GoogleTest's names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const char kTitle[] = "Updating Testapp";
const std::string kStrings = std::string("; the window's strings\n[Strings]\nTitle=") + kTitle +
                             "\nInfo=Installing the update, please wait...\n";

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Polls `done` every 10 ms until it holds; false when it never did. The limit
// only bounds a hang: waits end as soon as the awaited state is seen.
template <typename F>
bool WaitFor(F done) {
  for (long long end = NowMs() + 20000; NowMs() < end; usleep(10000))
    if (done()) return true;
  return false;
}

// What the demo printed: "start <ns>" and "returned <result> <ns>" (ns of
// CLOCK_MONOTONIC, here in ms); `numbers` counts those read so far.
struct Events {
  int numbers = 0, result = -2;
  long long start = 0, returned = 0;
};

// progress_window_demo started as `program` in the directory `cwd`, so its
// strings file is "<cwd>/<program>.ini"; closing its input ends it.
class Demo {
 public:
  Demo(const std::string& display, const std::string& program, const std::string& cwd = "/")
      : out_(cwd + "/" + program + ".out") {
    unlink(out_.c_str());
    // The program finds its files beside its own executable, whatever name
    // it was started by: the demo is copied to where the strings are.
    // GTK's own allocations live until exit by design.
    in_ = popen(("cd '" + cwd + "' && cp " DEMO_PATH " '" + program + "' && DISPLAY=" + display +
                 " ASAN_OPTIONS=detect_leaks=0 exec '" + program + "' > '" + out_ + "'")
                    .c_str(),
                "w");
  }
  ~Demo() { Finish(); }
  void Send(const char* text) { ASSERT_TRUE(fputs(text, in_) >= 0 && fflush(in_) == 0); }
  int Finish() { return in_ ? pclose(std::exchange(in_, nullptr)) : -1; }
  Events Read() const {
    Events e;
    e.numbers = sscanf(testing_util::ReadFile(out_).c_str(), "start %lld returned %d %lld",
                       &e.start, &e.result, &e.returned);
    e.start /= 1000000, e.returned /= 1000000;
    return e;
  }

 private:
  std::string out_;
  FILE* in_ = nullptr;
};

// The top-level window titled kTitle, or None.
Window FindWindow(Display* d) {
  Window root, parent, found = None, *children = nullptr;
  unsigned int count = 0;
  XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count);
  for (unsigned int i = 0; i < count; ++i) {
    char* title = nullptr;
    if (XFetchName(d, children[i], &title) && !strcmp(title, kTitle)) found = children[i];
    if (title) XFree(title);
  }
  if (children) XFree(children);
  return found;
}

bool IsShown(Display* d, Window w, XWindowAttributes* a) {
  return w != None && XGetWindowAttributes(d, w, a) && a->map_state == IsViewable;
}

// The window's pixels, or null when it is not shown.
XImage* Pixels(Display* d, Window w) {
  XWindowAttributes a;
  return IsShown(d, w, &a) ? XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap) : nullptr;
}

// The progress bar's fill, read along a row through the bar (the lower half
// of the window), where the filled part has one color and the empty trough
// another: the colors a tenth of the width in from either side of a partly
// filled bar, which the first such reading learns. -1 until then.
class Bar {
 public:
  double Read(Display* d, Window w) {
    XImage* image = Pixels(d, w);
    if (!image) return -1;
    const int y = image->height * 3 / 4;
    if (fill_ == trough_) {
      fill_ = XGetPixel(image, image->width / 10, y);
      trough_ = XGetPixel(image, image->width * 9 / 10, y);
    }
    int fill = 0, trough = 0;
    for (int x = 0; x < image->width; ++x) {
      fill += XGetPixel(image, x, y) == fill_;
      trough += XGetPixel(image, x, y) == trough_;
    }
    const bool bar = fill_ != trough_ && fill + trough > image->width * 7 / 10;
    XDestroyImage(image);
    if (!bar) fill_ = trough_ = 0;  // not the bar yet: learn again
    return bar ? static_cast<double>(fill) / (fill + trough) : -1;
  }
  bool Shows(Display* d, Window w, double fraction) {
    return WaitFor([&] { return std::fabs(Read(d, w) - fraction) <= 0.03; });
  }

 private:
  unsigned long fill_ = 0, trough_ = 0;
};

void SaveScreenshot(Display* d, Window w, const std::string& path) {
  XImage* image = Pixels(d, w);
  ASSERT_NE(image, nullptr);
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, image->width, image->height);
  for (int y = 0; y < image->height; ++y) {
    guchar* row = gdk_pixbuf_get_pixels(pixbuf) + y * gdk_pixbuf_get_rowstride(pixbuf);
    for (int x = 0; x < 3 * image->width; ++x) {
      row[x] = XGetPixel(image, x / 3, y) >> (16 - 8 * (x % 3)) & 0xff;  // the server's RGB
    }
  }
  XDestroyImage(image);
  EXPECT_TRUE(gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr)) << path;
  g_object_unref(pixbuf);
}

class ProgressWindowTest : public ::testing::Test {
 protected:
  // One Xvfb for the whole suite, on a display number it picks itself.
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);  // a demo that died must fail the case, not end the run
    int fds[2];
    if (pipe(fds) != 0) return;
    xvfb_ = fork();
    if (xvfb_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // no stray server when the test is killed
      freopen("/dev/null", "w", stderr);
      execlp("Xvfb", "Xvfb", "-displayfd", std::to_string(fds[1]).c_str(), "-screen", "0",
             "800x600x24", "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    char number[16] = "";
    if (read(fds[0], number, sizeof(number) - 1) > 0) name_ = ":" + std::to_string(atoi(number));
    close(fds[0]);
    display_ = name_.empty() ? nullptr : XOpenDisplay(name_.c_str());
    // Windows vanish while they are being examined.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }
  static void TearDownTestSuite() {
    if (display_) XCloseDisplay(display_);
    if (xvfb_ > 0 && kill(xvfb_, SIGTERM) == 0) waitpid(xvfb_, nullptr, 0);
  }
  void SetUp() override {
    if (!display_) GTEST_SKIP() << "no Xvfb (Debian package xvfb)";
    ASSERT_EQ(FindWindow(display_), None) << "a window of an earlier case is still there";
  }

  static inline pid_t xvfb_ = -1;
  static inline std::string name_;
  static inline Display* display_ = nullptr;
  testing_util::ScopedTempDir dir_;
  const std::string program_ = dir_.Sub("updater");
};

// Started by a relative path, the program finds its strings although it has
// changed directory since.
TEST_F(ProgressWindowTest, ShowsRefusesCloseFollowsProgressAndHidesOnQuit) {
  testing_util::WriteFile(program_ + ".ini", kStrings);
  Display* d = display_;
  Demo demo(name_, "./updater", dir_.path());
  demo.Send("percent 70\n");  // exactly 70 % at the half-second check still shows the window
  Window w = None;
  XWindowAttributes a;
  ASSERT_TRUE(WaitFor([&] { return IsShown(d, w = FindWindow(d), &a); })) << "no " << kTitle;
  const Events shown = demo.Read();
  EXPECT_GE(shown.numbers, 1);
  EXPECT_GE(NowMs() - shown.start, 500) << "the window appeared before the half-second wait";
  Bar bar;
  EXPECT_TRUE(bar.Shows(d, w, 0.70));

  // A close request from the window manager is refused.
  XEvent close = {};
  close.xclient = {ClientMessage, 0, False, d, w, XInternAtom(d, "WM_PROTOCOLS", False), 32, {}};
  close.xclient.data.l[0] = XInternAtom(d, "WM_DELETE_WINDOW", False);
  ASSERT_TRUE(XSendEvent(d, w, False, NoEventMask, &close));
  XSync(d, False);
  // The bar follows the last value; seeing it move also proves that the
  // window's loop went on after the close request.
  demo.Send("percent 30\npercent 42\n");
  EXPECT_TRUE(bar.Shows(d, w, 0.42));
  usleep(300000);
  EXPECT_TRUE(IsShown(d, w, &a)) << "the close request closed the window";
  SaveScreenshot(d, w, ARTEFACT_DIR "/progress-window.png");
  demo.Send("percent 100.0001\n");  // sums a little above 100 still fill the bar
  EXPECT_TRUE(bar.Shows(d, w, 1.0));

  // It hides at its next poll after the quit request; the demo runs on until
  // its input ends.
  demo.Send("quit\n");
  ASSERT_TRUE(WaitFor([&] { return !IsShown(d, w, &a); })) << "the window stayed after quit";
  EXPECT_TRUE(WaitFor([&] { return demo.Read().numbers == 3; }));
  EXPECT_EQ(demo.Read().result, 0);
  EXPECT_EQ(demo.Finish(), 0);
}

// Runs that must show no window: watched until the demo reports the end of
// ProgressWindow::Run, which comes after the half-second wait all the same.
TEST_F(ProgressWindowTest, NoWindowForShortOrAdvancedRunsOrIncompleteStrings) {
  const struct {
    std::string strings;
    const char* input;
    int result;
  } cases[] = {
      {kStrings, "percent 50\nquit\n", 0},
      {kStrings, "percent 70.5\n", 0},
      {std::string("[Strings]\nTitle=") + kTitle + "\n", "", -1},  // no "Info"
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input + c.strings);
    testing_util::WriteFile(program_ + ".ini", c.strings);
    Demo demo(name_, program_);
    demo.Send(c.input);
    bool shown = false;
    EXPECT_TRUE(WaitFor([&] {
      shown = shown || FindWindow(display_) != None;
      return demo.Read().numbers == 3;
    }));
    EXPECT_FALSE(shown || FindWindow(display_) != None) << "a window was shown";
    const Events e = demo.Read();
    EXPECT_EQ(e.result, c.result);
    EXPECT_GE(e.returned - e.start, 500);
    EXPECT_EQ(demo.Finish(), 0);
  }
}

}  // namespace

// The progress window in a real X server: this test starts its own Xvfb, runs
// progress_window_demo (the window plus a worker thread fed from a pipe) and
// watches the window from outside through Xlib, as a window manager would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "testing/test_util.h"

// Last: Xlib's macros (None, Bool, Status) would clash with GoogleTest's names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using testing_util::ScopedTempDir;
using testing_util::WriteFile;

// Far beyond anything a loaded machine needs; waits end as soon as the
// awaited state is seen.
constexpr long long kPatienceMs = 20000;
constexpr long long kShowDelayMs = 500;
// The window hides at the first 100 ms poll after the quit request; the bound
// leaves room for a busy machine while still failing a window that only goes
// away with its process.
constexpr long long kHideBoundMs = 1000;
constexpr double kFractionTolerance = 0.03;

const char kTitle[] = "Mise \xc3\xa0 jour de Testapp";  // UTF-8, passed through as bytes
std::string StringsFile() {
  return std::string("; strings of the progress window\n[Strings]\nTitle=") + kTitle +
         "\nInfo=Installing the update, please wait...\n";
}

// A 16x16 red PNG.
const char kIconPng[] =
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x10\x00\x00\x00"
    "\x10\x08\x02\x00\x00\x00\x90\x91\x68\x36\x00\x00\x00\x16\x49\x44\x41\x54\x78\xda\x63\x38\xa3"
    "\xa4\x44\x12\x62\x18\xd5\x30\xaa\x61\xf8\x6a\x00\x00\x45\x7f\x10\x10\x4d\x7d\xb0\x7b\x00\x00"
    "\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82";

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void SleepMs(long ms) {
  timespec ts = {ms / 1000, (ms % 1000) * 1000000};
  nanosleep(&ts, nullptr);
}

std::string FindInPath(const char* name) {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t end = dirs.find(':', pos);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(pos, end - pos) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = end + 1;
  }
  return "";
}

// Windows vanish while they are being examined; such errors are expected.
int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// One Xvfb for the whole suite, on a display number it picks itself.
class XServer {
 public:
  // Empty when started; else why not.
  std::string Start() {
    std::string xvfb = FindInPath("Xvfb");
    if (xvfb.empty()) return "Xvfb is not installed (Debian package xvfb)";
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // no stray server when the test is killed
      close(fds[0]);
      int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      std::string fd = std::to_string(fds[1]);
      execl(xvfb.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24",
            "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p = {fds[0], POLLIN, 0};
    long long deadline = NowMs() + kPatienceMs;
    char c;
    while (NowMs() < deadline && poll(&p, 1, 100) >= 0) {
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    close(fds[0]);
    if (number.empty()) return "Xvfb did not report a display";
    name_ = ":" + number;
    display_ = XOpenDisplay(name_.c_str());
    if (!display_) return "cannot connect to Xvfb at " + name_;
    XSetErrorHandler(IgnoreXError);
    return "";
  }

  void Stop() {
    if (display_) XCloseDisplay(display_);
    display_ = nullptr;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

  Display* display() const { return display_; }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
  Display* display_ = nullptr;
};

// progress_window_demo started as `program` (its strings file is
// "<program>.ini"), with `input` already waiting on its standard input.
class Demo {
 public:
  Demo(const std::string& display, const std::string& program, const std::string& input) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[0]);
      close(in[1]);
      close(out[0]);
      close(out[1]);
      setenv("DISPLAY", display.c_str(), 1);
      // GTK's own allocations live until exit by design.
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
      char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
      execv(DEMO_PATH, argv);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_demo_ = in[1];
    from_demo_ = out[0];
    Send(input);
  }

  ~Demo() {
    if (to_demo_ >= 0) close(to_demo_);
    if (from_demo_ >= 0) close(from_demo_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void Send(const std::string& text) {
    ASSERT_EQ(write(to_demo_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // The next output line if one is complete within `wait_ms`, else "".
  std::string ReadLine(long long wait_ms) {
    long long deadline = NowMs() + wait_ms;
    for (;;) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      long long left = deadline - NowMs();
      pollfd p = {from_demo_, POLLIN, 0};
      if (left < 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return "";
      char chunk[256];
      ssize_t n = read(from_demo_, chunk, sizeof(chunk));
      if (n <= 0) return "";
      buffer_.append(chunk, n);
    }
  }

  // Parses "<word> <ns>", or "<word> <result> <ns>" when `result` is given;
  // returns the time in ms, or -1.
  static long long ParseEvent(const std::string& line, const char* word, int* result) {
    long long ns = -1;
    std::string format = std::string(word) + (result ? " %d %lld" : " %lld");
    int fields = result ? sscanf(line.c_str(), format.c_str(), result, &ns)
                        : sscanf(line.c_str(), format.c_str(), &ns);
    return fields == (result ? 2 : 1) ? ns / 1000000 : -1;
  }

  long long ReadEvent(const char* word, int* result = nullptr) {
    std::string line = ReadLine(kPatienceMs);
    long long ms = ParseEvent(line, word, result);
    if (ms < 0)
      ADD_FAILURE() << "expected \"" << word << "\" from the demo, got \"" << line << "\"";
    return ms;
  }

  // Closes the demo's input, which ends it; returns its exit status, or -1
  // when it does not end.
  int Finish() {
    close(to_demo_);
    to_demo_ = -1;
    int status = 0;
    for (long long deadline = NowMs() + kPatienceMs; NowMs() < deadline; SleepMs(10)) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }

  bool Running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
  int to_demo_ = -1;
  int from_demo_ = -1;
  std::string buffer_;
};

std::string Utf8Property(Display* d, Window w, const char* name) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::string value;
  if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 4096, False,
                         XInternAtom(d, "UTF8_STRING", False), &type, &format, &count, &after,
                         &data) == Success &&
      data) {
    if (format == 8) value.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return value;
}

std::vector<unsigned long> Property32(Display* d, Window w, const char* name) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  std::vector<unsigned long> value;
  if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 65536, False, AnyPropertyType, &type,
                         &format, &count, &after, &data) == Success &&
      data) {
    if (format == 32) {
      const unsigned long* items = reinterpret_cast<unsigned long*>(data);
      value.assign(items, items + count);
    }
    XFree(data);
  }
  return value;
}

// The top-level window titled kTitle, or None.
Window FindWindow(Display* d) {
  Window root_return, parent;
  Window* children = nullptr;
  unsigned int count = 0;
  Window found = None;
  if (!XQueryTree(d, DefaultRootWindow(d), &root_return, &parent, &children, &count)) return None;
  for (unsigned int i = 0; i < count && found == None; ++i) {
    if (Utf8Property(d, children[i], "_NET_WM_NAME") == kTitle) found = children[i];
  }
  if (children) XFree(children);
  return found;
}

bool IsShown(Display* d, Window w) {
  XWindowAttributes attributes;
  return w != None && XGetWindowAttributes(d, w, &attributes) && attributes.map_state == IsViewable;
}

// Reads the progress bar's fill from the window's pixels. The bar is the lower
// half of the window; along its middle row, the filled part has one color and
// the empty trough another. The first reading of a partly filled bar learns the
// two colors from their places: the fill is the one on the left.
class BarReader {
 public:
  // The filled share of the bar, or -1 when it cannot be read.
  double Read(Display* d, Window w) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes) || attributes.map_state != IsViewable) return -1;
    int y = attributes.height * 3 / 4;
    XImage* image = XGetImage(d, w, 0, y, attributes.width, 1, AllPlanes, ZPixmap);
    if (!image) return -1;
    std::vector<unsigned long> row;
    for (int x = 0; x < attributes.width; ++x) row.push_back(XGetPixel(image, x, 0));
    XDestroyImage(image);

    if (!calibrated_ && !Calibrate(row)) return -1;
    int fill = 0, trough = 0;
    for (unsigned long pixel : row) {
      fill += pixel == fill_;
      trough += pixel == trough_;
    }
    if (fill + trough < attributes.width / 2) return -1;
    return static_cast<double>(fill) / (fill + trough);
  }

  // Waits until the bar shows `fraction`; returns the last reading.
  double WaitFor(Display* d, Window w, double fraction) {
    double reading = -1;
    for (long long deadline = NowMs() + kPatienceMs; NowMs() < deadline; SleepMs(20)) {
      reading = Read(d, w);
      if (std::fabs(reading - fraction) <= kFractionTolerance) break;
    }
    return reading;
  }

 private:
  bool Calibrate(const std::vector<unsigned long>& row) {
    std::map<unsigned long, int> counts;
    std::map<unsigned long, double> x_sums;
    for (size_t x = 0; x < row.size(); ++x) {
      if (row[x] == row[0]) continue;  // the window's background
      ++counts[row[x]];
      x_sums[row[x]] += x;
    }
    unsigned long best[2] = {0, 0};
    int best_count[2] = {0, 0};
    for (const auto& [pixel, count] : counts) {
      if (count > best_count[0]) {
        best[1] = best[0];
        best_count[1] = best_count[0];
        best[0] = pixel;
        best_count[0] = count;
      } else if (count > best_count[1]) {
        best[1] = pixel;
        best_count[1] = count;
      }
    }
    // Until the bar is drawn partly filled, the row holds no such pair.
    int width = static_cast<int>(row.size());
    if (best_count[1] < width / 10 || best_count[0] + best_count[1] < width * 7 / 10) return false;
    // Frame lines may share a color with either part; the middles tell them apart.
    bool first_is_left = x_sums[best[0]] / best_count[0] < x_sums[best[1]] / best_count[1];
    fill_ = first_is_left ? best[0] : best[1];
    trough_ = first_is_left ? best[1] : best[0];
    calibrated_ = true;
    return true;
  }

  bool calibrated_ = false;
  unsigned long fill_ = 0;
  unsigned long trough_ = 0;
};

// Saves the window's pixels as `base`.png or, without ImageMagick's convert,
// as `base`.ppm. Reads the pixels itself: a screenshot tool given a
// vanished window would wait for a mouse click instead.
void SaveScreenshot(Display* d, Window w, const std::string& base) {
  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(d, w, &attributes));
  XImage* image = XGetImage(d, w, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  std::string ppm = "P6\n" + std::to_string(attributes.width) + " " +
                    std::to_string(attributes.height) + "\n255\n";
  for (int y = 0; y < attributes.height; ++y) {
    for (int x = 0; x < attributes.width; ++x) {
      unsigned long pixel = XGetPixel(image, x, y);
      ppm += static_cast<char>((pixel & image->red_mask) >> __builtin_ctzl(image->red_mask));
      ppm += static_cast<char>((pixel & image->green_mask) >> __builtin_ctzl(image->green_mask));
      ppm += static_cast<char>((pixel & image->blue_mask) >> __builtin_ctzl(image->blue_mask));
    }
  }
  XDestroyImage(image);
  // Written under this run's own names and renamed into place, so that runs
  // side by side never see each other's half-written files.
  std::string own = base + "." + std::to_string(getpid());
  WriteFile(own + ".ppm", ppm);
  std::string convert = FindInPath("convert");
  std::string extension = convert.empty() ? ".ppm" : ".png";
  if (!convert.empty()) {
    std::string command = "'" + convert + "' '" + own + ".ppm' '" + own + ".png'";
    EXPECT_EQ(testing_util::RunCommand(command), 0) << command;
    unlink((own + ".ppm").c_str());
  }
  std::string kept = base + extension;
  ASSERT_EQ(rename((own + extension).c_str(), kept.c_str()), 0) << kept;
  printf("screenshot: %s%s\n", kept.c_str(),
         convert.empty() ? " (no PNG: ImageMagick's convert is not installed)" : "");
}

class ProgressWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);  // a demo that died must fail the case, not end the run
    server_ = new XServer;
    skip_reason_ = server_->Start();
  }
  static void TearDownTestSuite() {
    server_->Stop();
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
    ASSERT_EQ(FindWindow(display()), None) << "a window of an earlier case is still there";
  }

  Display* display() { return server_->display(); }
  std::string Program() { return dir_.Sub("updater"); }

  // Runs a demo that must never show a window: watches for one until the demo
  // reports RunProgressUI's end, and returns its result.
  int RunWithoutWindow(const std::string& input, long long* waited_ms) {
    Demo demo(server_->name(), Program(), input);
    long long start = demo.ReadEvent("start");
    int result = -2;
    long long returned = -1;
    bool shown = false;
    for (long long deadline = NowMs() + kPatienceMs; NowMs() < deadline && returned < 0;) {
      shown = shown || FindWindow(display()) != None;
      std::string line = demo.ReadLine(20);
      if (!line.empty()) returned = Demo::ParseEvent(line, "returned", &result);
    }
    EXPECT_GE(returned, 0) << "RunProgressUI did not return";
    EXPECT_FALSE(shown || FindWindow(display()) != None) << "a window was shown";
    EXPECT_EQ(demo.Finish(), 0);
    *waited_ms = returned - start;
    return result;
  }

  static XServer* server_;
  static std::string skip_reason_;
  ScopedTempDir dir_;
};

XServer* ProgressWindowTest::server_ = nullptr;
std::string ProgressWindowTest::skip_reason_;

TEST_F(ProgressWindowTest, ShowsRefusesCloseFollowsProgressAndHidesOnQuit) {
  WriteFile(Program() + ".ini", StringsFile());
  WriteFile(Program() + ".png", std::string(kIconPng, sizeof(kIconPng) - 1));
  Display* d = display();
  // Exactly 70 % at the half-second check still shows the window.
  Demo demo(server_->name(), Program(), "percent 70\n");
  long long start = demo.ReadEvent("start");
  ASSERT_GE(start, 0);

  Window w = None;
  long long shown = -1;
  for (long long deadline = NowMs() + kPatienceMs; NowMs() < deadline; SleepMs(10)) {
    w = FindWindow(d);
    if (IsShown(d, w)) {
      shown = NowMs();
      break;
    }
  }
  ASSERT_GE(shown, 0) << "no window titled \"" << kTitle << "\" appeared";
  EXPECT_GE(shown - start, kShowDelayMs) << "the window appeared before the half-second wait";
  printf("window shown %lld ms after the start\n", shown - start);

  // The window settings, as a window manager sees them.
  std::vector<unsigned long> type = Property32(d, w, "_NET_WM_WINDOW_TYPE");
  ASSERT_EQ(type.size(), 1u);
  EXPECT_EQ(type[0], XInternAtom(d, "_NET_WM_WINDOW_TYPE_DIALOG", False));
  XSizeHints hints;
  long supplied;
  ASSERT_TRUE(XGetWMNormalHints(d, w, &hints, &supplied));
  EXPECT_TRUE((hints.flags & PMinSize) && (hints.flags & PMaxSize)) << "resizable";
  EXPECT_EQ(hints.min_width, hints.max_width);
  EXPECT_EQ(hints.min_height, hints.max_height);
  EXPECT_FALSE(Property32(d, w, "_NET_WM_ICON").empty()) << "icon not set";

  BarReader bar;
  EXPECT_NEAR(bar.WaitFor(d, w, 0.70), 0.70, kFractionTolerance);

  // A close request from the window manager is refused.
  XEvent close_request = {};
  close_request.xclient.type = ClientMessage;
  close_request.xclient.window = w;
  close_request.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  close_request.xclient.format = 32;
  close_request.xclient.data.l[0] = XInternAtom(d, "WM_DELETE_WINDOW", False);
  close_request.xclient.data.l[1] = CurrentTime;
  ASSERT_TRUE(XSendEvent(d, w, False, NoEventMask, &close_request));
  XSync(d, False);

  // The bar follows the last published value; seeing it move also proves the
  // window's loop went on after the close request.
  demo.Send("percent 30\npercent 42\n");
  EXPECT_NEAR(bar.WaitFor(d, w, 0.42), 0.42, kFractionTolerance);
  SleepMs(300);
  EXPECT_TRUE(IsShown(d, w)) << "the close request closed the window";
  EXPECT_EQ(FindWindow(d), w);
  EXPECT_NEAR(bar.Read(d, w), 0.42, kFractionTolerance);

  SaveScreenshot(d, w, std::string(ARTEFACT_DIR) + "/progress-window");

  // Sums a little above 100 still fill the bar.
  demo.Send("percent 100.0001\n");
  EXPECT_NEAR(bar.WaitFor(d, w, 1.0), 1.0, kFractionTolerance);

  demo.Send("quit\n");
  long long quit = NowMs();
  long long hidden = -1;
  for (long long deadline = quit + kPatienceMs; NowMs() < deadline; SleepMs(5)) {
    if (!IsShown(d, w)) {
      hidden = NowMs();
      break;
    }
  }
  ASSERT_GE(hidden, 0) << "the window stayed after the quit request";
  printf("window hidden %lld ms after the quit request\n", hidden - quit);
  EXPECT_LT(hidden - quit, kHideBoundMs);
  // Hidden by the window itself, not by the end of its process.
  EXPECT_TRUE(demo.Running());
  int result = -2;
  EXPECT_GE(demo.ReadEvent("returned", &result), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(demo.Finish(), 0);
}

TEST_F(ProgressWindowTest, RunEndingWithinHalfASecondShowsNoWindow) {
  WriteFile(Program() + ".ini", StringsFile());
  long long waited = 0;
  EXPECT_EQ(RunWithoutWindow("percent 50\nquit\n", &waited), 0);
  EXPECT_GE(waited, kShowDelayMs);
}

TEST_F(ProgressWindowTest, RunPastSeventyPercentShowsNoWindow) {
  WriteFile(Program() + ".ini", StringsFile());
  long long waited = 0;
  EXPECT_EQ(RunWithoutWindow("percent 70.5\n", &waited), 0);
  EXPECT_GE(waited, kShowDelayMs);
}

TEST_F(ProgressWindowTest, IncompleteStringsFileShowsNoWindow) {
  WriteFile(Program() + ".ini", std::string("[Strings]\nTitle=") + kTitle + "\n");
  long long waited = 0;
  EXPECT_EQ(RunWithoutWindow("", &waited), -1);
  EXPECT_GE(waited, kShowDelayMs);
}

}  // namespace

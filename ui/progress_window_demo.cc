// Shows the progress window the way an ordinary update does, with a worker
// thread that publishes what standard input tells it. Used by the X server test
// and handy for looking at the window by hand.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ui/progress_ui.h"

namespace {

const char kUsage[] =
    "Usage: progress_window_demo [--as NAME]\n"
    "Runs the updater's progress window while a worker thread carries out the\n"
    "commands on standard input, one per line:\n"
    "  percent P   publish P per cent\n"
    "  sleep MS    wait MS milliseconds\n"
    "  quit        end the run; the window closes at its next poll\n"
    "End of input ends the run too; the program exits only then.\n"
    "The window's texts come from PROGRAM.ini (section [Strings], keys Title\n"
    "and Info) and its icon from PROGRAM.png, PROGRAM being the path of this\n"
    "executable whatever name it was started by: copy it to where they are.\n"
    "NAME (default: the name it was started by) is all GTK is given. The\n"
    "program changes to / before the window's wait, as the updater does.\n"
    "Prints \"start <ns>\" before the window's half-second wait and\n"
    "\"returned <result> <ns>\" when it is over (CLOCK_MONOTONIC nanoseconds).\n";

long long MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Returns 0 when every line was understood, else 1 (after ending the run).
int RunCommands(Progress* progress) {
  char line[256];
  int rv = 0;
  while (fgets(line, sizeof(line), stdin)) {
    char word[16];
    double number = 0;
    int fields = sscanf(line, "%15s %lf", word, &number);
    if (fields < 1) continue;
    if (strcmp(word, "percent") == 0 && fields == 2) {
      progress->Set(static_cast<float>(number));
    } else if (strcmp(word, "sleep") == 0 && fields == 2 && number >= 0) {
      timespec ts = {static_cast<time_t>(number / 1000),
                     static_cast<long>((static_cast<long long>(number) % 1000) * 1000000)};
      nanosleep(&ts, nullptr);
    } else if (strcmp(word, "quit") == 0) {
      progress->Quit();
    } else {
      fprintf(stderr, "progress_window_demo: unknown command: %s", line);
      rv = 1;
    }
  }
  progress->Quit();
  return rv;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--as") == 0) {
    if (argc < 3) {
      fprintf(stderr, "progress_window_demo: --as needs a path\n%s", kUsage);
      return 1;
    }
    // The given name becomes the first element, the one GTK sees.
    argv += 2;
  }
  const ProgramPath program;
  Progress progress;
  ProgressWindow window(&progress, &program);
  window.Prepare(argv[0]);
  // The updater changes into the apply-to directory after this point.
  if (chdir("/") != 0) return 1;

  int commands_rv = 0;
  std::thread worker([&commands_rv, &progress] { commands_rv = RunCommands(&progress); });
  printf("start %lld\n", MonotonicNs());
  fflush(stdout);
  int rv = window.Run();
  printf("returned %d %lld\n", rv, MonotonicNs());
  fflush(stdout);
  worker.join();
  return commands_rv;
}

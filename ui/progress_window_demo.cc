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
    "Usage: progress_window_demo [--as PROGRAM_PATH]\n"
    "Runs the updater's progress window while a worker thread carries out the\n"
    "commands on standard input, one per line:\n"
    "  percent P   publish P per cent\n"
    "  sleep MS    wait MS milliseconds\n"
    "  quit        end the run; the window closes at its next poll\n"
    "End of input ends the run too; the program exits only then.\n"
    "The window's texts come from PROGRAM_PATH.ini (section [Strings], keys\n"
    "Title and Info) and its icon from PROGRAM_PATH.png; PROGRAM_PATH defaults\n"
    "to the path this program was started as; a relative one is taken from the\n"
    "directory the program starts in (it then changes to /, as the updater does).\n"
    "Prints \"start <ns>\" before the window's half-second wait and\n"
    "\"returned <result> <ns>\" when it is over (CLOCK_MONOTONIC nanoseconds).\n";

long long MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Returns 0 when every line was understood, else 1 (after ending the run).
int RunCommands() {
  char line[256];
  int rv = 0;
  while (fgets(line, sizeof(line), stdin)) {
    char word[16];
    double number = 0;
    int fields = sscanf(line, "%15s %lf", word, &number);
    if (fields < 1) continue;
    if (strcmp(word, "percent") == 0 && fields == 2) {
      SetProgressUI(static_cast<float>(number));
    } else if (strcmp(word, "sleep") == 0 && fields == 2 && number >= 0) {
      timespec ts = {static_cast<time_t>(number / 1000),
                     static_cast<long>((static_cast<long long>(number) % 1000) * 1000000)};
      nanosleep(&ts, nullptr);
    } else if (strcmp(word, "quit") == 0) {
      QuitProgressUI();
    } else {
      fprintf(stderr, "progress_window_demo: unknown command: %s", line);
      rv = 1;
    }
  }
  QuitProgressUI();
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
    // The given path becomes the first element, the program path.
    argv += 2;
  }
  PrepareProgressUI(argv[0]);
  // The updater changes into the apply-to directory after this point.
  if (chdir("/") != 0) return 1;

  int commands_rv = 0;
  std::thread worker([&commands_rv] { commands_rv = RunCommands(); });
  printf("start %lld\n", MonotonicNs());
  fflush(stdout);
  int rv = RunProgressUI();
  printf("returned %d %lld\n", rv, MonotonicNs());
  fflush(stdout);
  worker.join();
  return commands_rv;
}

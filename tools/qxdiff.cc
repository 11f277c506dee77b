// qxdiff OLD NEW PATCH: writes a QXPATCH1 patch that turns OLD into NEW.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "diff/diff.h"

namespace {

void PrintUsage(FILE* out) {
  fprintf(out,
          "usage: qxdiff OLD NEW PATCH\n"
          "\n"
          "Writes to PATCH a QXPATCH1 binary patch that turns the file OLD into the\n"
          "file NEW. The patch is not compressed; update archives store it with bzip2.\n"
          "OLD may hold at most %llu bytes and NEW at most %llu bytes.\n"
          "Memory: about 5 bytes per byte of OLD; NEW is read in a window.\n"
          "The scan runs on one thread per processor.\n"
          "\n"
          "options:\n"
          "  -h, --help     show this text\n"
          "  -V, --version  show the program's version\n"
          "\n"
          "Exit status: 0 when the patch was written, 1 otherwise.\n",
          static_cast<unsigned long long>(kQxdiffMaxOldSize),
          static_cast<unsigned long long>(kQxdiffMaxNewSize));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    if (strcmp(argv[i], "-V") == 0 || strcmp(argv[i], "--version") == 0) {
      printf("qxdiff %s\n", UPDATER_VERSION);
      return 0;
    }
    if (argv[i][0] == '-' && argv[i][1] != '\0') {
      fprintf(stderr, "qxdiff: unknown option %s (see qxdiff --help)\n", argv[i]);
      return 1;
    }
  }
  if (argc != 4) {
    fprintf(stderr, "qxdiff: expected three arguments, got %d (see qxdiff --help)\n", argc - 1);
    return 1;
  }
  std::string error;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (qxdiff_files(argv[1], argv[2], argv[3], threads, &error) != kQxdiffOk) {
    fprintf(stderr, "qxdiff: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

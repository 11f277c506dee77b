// The staged update's copy of an installation, on its own: ensure_copy_recursive
// from SRC to DST, leaving out SRC/updated and SRC/updates/0 as the staged
// update does. For bench/staged_copy_bench.sh, which times it against cp -a.
//
// Usage: copy_tree SRC DST
// Exit status 0 when the copy succeeded, 1 otherwise (the code on stderr).
#include <cstdio>
#include <cstring>

#include "fileops/fileops.h"

int main(int argc, char** argv) {
  if (argc != 3 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    bool help = argc == 2;
    fputs("Usage: copy_tree SRC DST\nCopies the tree SRC to DST with ensure_copy_recursive.\n",
          help ? stdout : stderr);
    return help ? 0 : 1;
  }
  char skip[2][kMaxPath];
  snprintf(skip[0], sizeof(skip[0]), "%s/updated", argv[1]);
  snprintf(skip[1], sizeof(skip[1]), "%s/updates/0", argv[1]);
  int rv = ensure_copy_recursive(AT_FDCWD, argv[1], argv[2], skip);
  if (rv != 0) fprintf(stderr, "copy_tree: ensure_copy_recursive failed: %d\n", rv);
  return rv == 0 ? 0 : 1;
}

// Parses the input as a manifest with the update run's own parser (the "type"
// line with the precomplete file, "rmrfdir" expanded over a small tree with a
// link it must not follow) and checks every path that reached an action
// against the path rules.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "actions/manifest_parser.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool sandbox = [] {
    const std::string precomplete =
        "remove \"precomplete\"\nremove-cc \"x\"\nrmdir \"d/s/t/\"\n# comment\nremove \"d/f\"\n";
    fuzz_util::WriteScratchFile("precomplete", reinterpret_cast<const uint8_t*>(precomplete.data()),
                                precomplete.size());
    for (const char* dir : {"d", "d/s", "d/s/t"}) mkdir(dir, 0755);
    for (const char* file : {"d/f", "d/s/g"}) fuzz_util::WriteScratchFile(file, nullptr, 0);
    return symlink("/", "d/s/root-link") == 0;
  }();
  (void)sandbox;
  std::string text(reinterpret_cast<const char*>(data), size);  // a NUL ends it early
  ActionList list;
  int rv = ParseManifest(text.data(), &list);
  if (rv != 0 && rv != 5 && rv != 14 && rv != 42) abort();
  fuzz_util::CheckActionPaths(list);
  return 0;
}

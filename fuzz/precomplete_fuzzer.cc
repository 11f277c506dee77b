// Reads the input as the installation's "precomplete" file of a complete
// update and checks the removals it yields against the path rules.
#include <cstdint>
#include <cstdlib>

#include "actions/manifest_parser.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_util::WriteScratchFile("precomplete", data, size);  // in the working directory
  // A complete update's manifest reads the file through the parser.
  char manifest[] = "type \"complete\"\n";
  ActionList list;
  int rv = ParseManifest(manifest, &list);
  if (rv != 0 && rv != 5) abort();
  fuzz_util::CheckActionPaths(list);
  return 0;
}

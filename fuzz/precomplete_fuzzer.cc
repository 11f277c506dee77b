// Reads the input as the installation's "precomplete" file of a complete
// update and checks the removals it yields against the path rules.
#include <cstdint>
#include <cstdlib>

#include "actions/action.h"
#include "actions/precomplete.h"
#include "fuzz/fuzz_util.h"
#include "fuzz/path_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The scratch directory is the working directory, where the file is read.
  fuzz_util::WriteScratchFile("precomplete", data, size);
  ActionList list;
  int rv = AddPreCompleteActions(&list);
  if (rv != 0 && rv != 5) abort();
  fuzz_check::CheckActionPaths(list);
  return 0;
}

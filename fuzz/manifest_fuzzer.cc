// Parses the input as a manifest into actions with the update run's own parser (the "type" line
// with the precomplete file, "rmrfdir" expanded over a small tree), and checks that every path that
// reached an action obeys the path rules: relative and free of "..".
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "actions/action.h"
#include "actions/manifest_parser.h"
#include "fuzz/fuzz_util.h"
#include "fuzz/path_check.h"

namespace {

// A tree for rmrfdir to walk (with a link it must not follow) and a
// precomplete file for the "type" line.
void MakeSandbox() {
  fuzz_util::ScratchDir();
  mkdir("d", 0755);
  mkdir("d/s", 0755);
  mkdir("d/s/t", 0755);
  static const uint8_t kFile[] = "x";
  fuzz_util::WriteScratchFile("d/f", kFile, 1);
  fuzz_util::WriteScratchFile("d/s/g", kFile, 1);
  symlink("/", "d/s/root-link");
  static const char kPrecomplete[] =
      "remove \"precomplete\"\nremove-cc \"x\"\nrmdir \"d/s/t/\"\n# comment\nremove \"d/f\"\n";
  fuzz_util::WriteScratchFile("precomplete", reinterpret_cast<const uint8_t*>(kPrecomplete),
                              sizeof(kPrecomplete) - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool sandbox = (MakeSandbox(), true);
  (void)sandbox;
  std::unique_ptr<char[]> text = fuzz_util::CopyToText(data, size);
  ActionList list;
  int rv = ParseManifest(text.get(), &list);
  if (rv != 0 && rv != 5 && rv != 14 && rv != 42) abort();
  fuzz_check::CheckActionPaths(list);
  return 0;
}

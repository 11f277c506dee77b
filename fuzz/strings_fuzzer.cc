// Reads the input as the progress window's strings file, through the window's
// reader and through the generic one with a section of its own, and checks
// that every value comes back terminated within its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "ui/read_strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_util::WriteScratchFile("updater.ini", data, size);
  static const char* const kKeys[] = {"Title", "Info", "a b", ""};
  WindowStrings strings;
  char values[4][kIniValueSize];
  for (int rv : {ReadWindowStrings(path.c_str(), &strings),
                 ReadIniSection(path.c_str(), kKeys, 4, values, "Other Section")}) {
    if (rv != 0 && rv != 5 && rv != 6 && rv != 10) abort();
  }
  for (const char* v : {strings.title, strings.info, values[0], values[1], values[2], values[3]}) {
    if (!memchr(v, '\0', kIniValueSize)) abort();
  }
  return 0;
}

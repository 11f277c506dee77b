// Reads the input as the progress window's strings file, both through the
// window's two-key reader and through the generic reader with a section of
// its own, and checks that every value comes back terminated within its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "ui/read_strings.h"

namespace {

void CheckValue(const char* value) {
  if (!memchr(value, '\0', kIniValueSize)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_util::WriteScratchFile("updater.ini", data, size);

  WindowStrings strings;
  int rv = ReadWindowStrings(path.c_str(), &strings);
  if (rv != 0 && rv != 5 && rv != 6 && rv != 10) abort();
  CheckValue(strings.title);
  CheckValue(strings.info);

  static const char* const kKeys[] = {"Title", "Info", "a b", ""};
  char values[4][kIniValueSize];
  rv = ReadIniSection(path.c_str(), kKeys, 4, values, "Other Section");
  if (rv != 0 && rv != 5 && rv != 6 && rv != 10) abort();
  for (const auto& v : values) CheckValue(v);
  return 0;
}

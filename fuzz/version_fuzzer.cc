// Compares two version strings taken from the input (split at its first NUL
// byte) and checks the comparison's laws: a version equals itself, and
// swapping the operands flips the sign. Every segment parses, and the walk ends.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/qex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* a = text.c_str();
  const char* b = strlen(a) < size ? a + strlen(a) + 1 : "";
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  if (compare_versions(a, a) != 0 || compare_versions(b, b) != 0) abort();
  if (sign(compare_versions(a, b)) != -sign(compare_versions(b, a))) abort();
  std::string copy = a;
  VersionSegment segment;
  size_t segments = 0;
  for (char* rest = copy.data(); rest; rest = parse_version_segment(rest, &segment)) {
    if (++segments > copy.size() + 1) abort();
  }
  return 0;
}

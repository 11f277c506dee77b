// Compares two version strings taken from the input (split at its first NUL
// byte) and checks the comparison's laws: a version equals itself, and
// swapping the operands flips the sign.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "archive/qex.h"
#include "fuzz/fuzz_util.h"

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text = fuzz_util::CopyToText(data, size);
  const char* a = text.get();
  const size_t a_len = strlen(a);
  const char* b = a_len < size ? a + a_len + 1 : "";

  if (compare_versions(a, a) != 0 || compare_versions(b, b) != 0) abort();
  if (Sign(compare_versions(a, b)) != -Sign(compare_versions(b, a))) abort();

  // Every segment of a parses, and the walk ends.
  std::unique_ptr<char[]> copy = fuzz_util::CopyToText(reinterpret_cast<const uint8_t*>(a), a_len);
  VersionSegment segment;
  size_t segments = 0;
  for (char* rest = copy.get(); rest; rest = parse_version_segment(rest, &segment)) {
    if (++segments > a_len + 1) abort();
  }
  return 0;
}

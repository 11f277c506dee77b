// Reads the input as a patch file and, when its header is valid, applies it
// to a source buffer of exactly the length the header names (bytes taken from
// the input itself), so that the address sanitizer catches any read outside
// the source or the blocks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/fuzz_util.h"
#include "patch/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* const null_stream = fopen("/dev/null", "wb");
  FILE* patch = fopen(fuzz_util::WriteScratchFile("input.patch", data, size).c_str(), "rb");
  PatchHeader header;
  int rv = patch ? read_patch_header(patch, &header) : -1;
  if (rv != 0 && rv != 6 && rv != 41) abort();
  // Larger sources would only measure memcpy.
  if (rv == 0 && header.source_length <= (1u << 20)) {
    std::unique_ptr<unsigned char[]> source(new unsigned char[header.source_length]);
    for (uint32_t i = 0; i < header.source_length; ++i) source[i] = data[i % size];
    rv = apply_patch(header, patch, source.get(), null_stream);
    if (rv != 0 && rv != 6 && rv != 7 && rv != 12 && rv != 41) abort();
  }
  fclose(patch);
  return 0;
}

// Reads the input as a patch file and, when its header is valid, applies it
// to a source buffer of exactly the length the header names (bytes taken from
// the input itself), so that any read outside the source or the blocks is
// caught by the address sanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/fuzz_util.h"
#include "patch/patch.h"

namespace {

// Sources above this length are skipped: they would only measure memcpy.
constexpr uint32_t kMaxSource = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_util::WriteScratchFile("input.patch", data, size);
  FILE* patch = fopen(path.c_str(), "rb");
  if (!patch) abort();
  PatchHeader header;
  int rv = read_patch_header(patch, &header);
  if (rv != 0 && rv != 6 && rv != 41) abort();
  if (rv == 0 && header.source_length <= kMaxSource) {
    // Exactly source_length bytes: one byte more would hide an overread.
    std::unique_ptr<unsigned char[]> source(new unsigned char[header.source_length]);
    for (uint32_t i = 0; i < header.source_length; ++i) source[i] = data[i % size];
    rv = apply_patch(header, patch, source.get(), fuzz_util::NullStream());
    if (rv != 0 && rv != 6 && rv != 7 && rv != 12 && rv != 41) abort();
  }
  fclose(patch);
  return 0;
}

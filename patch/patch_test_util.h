// Test helpers that build QXPATCH1 patches from explicit triples and blocks.
// Header-only; link updater_patch for the CRC.
#ifndef UPDATER_PATCH_PATCH_TEST_UTIL_H_
#define UPDATER_PATCH_PATCH_TEST_UTIL_H_

#include <string>
#include <vector>

#include "patch/crc32.h"
#include "patch/patch_format.h"

namespace patch_testing {

// A patch in pieces. Serialize() writes the header and the blocks exactly as
// they are, so a test can make the header disagree with the blocks.
struct PatchParts {
  PatchHeader header;
  std::string control;
  std::string diff;
  std::string extra;

  std::string Serialize() const {
    unsigned char raw[kPatchHeaderSize];
    encode_patch_header(header, raw);
    return std::string(reinterpret_cast<const char*>(raw), sizeof(raw)) + control + diff + extra;
  }
};

// A patch with a valid header for `source`: its length and CRC, the blocks'
// lengths, and dest_length = the sum of every add and copy length.
inline PatchParts MakePatch(const std::string& source, const std::vector<ControlTriple>& triples,
                            const std::string& diff, const std::string& extra) {
  PatchParts p = {{}, "", diff, extra};
  uint32_t dest_length = 0;
  for (const ControlTriple& t : triples) {
    unsigned char raw[kControlTripleSize];
    encode_control_triple(t, raw);
    p.control.append(reinterpret_cast<const char*>(raw), sizeof(raw));
    dest_length += t.add_length + t.copy_length;
  }
  p.header = make_patch_header(
      static_cast<uint32_t>(source.size()), crc32_bzip2(source.data(), source.size()), dest_length,
      static_cast<uint32_t>(p.control.size()), static_cast<uint32_t>(diff.size()),
      static_cast<uint32_t>(extra.size()));
  return p;
}

// A valid one-triple patch that turns `source` into `target`: difference
// bytes where the two overlap, the rest of `target` as extra bytes.
inline PatchParts MakePatchFor(const std::string& source, const std::string& target) {
  std::string diff = target.substr(0, source.size());
  for (size_t i = 0; i < diff.size(); ++i) diff[i] = static_cast<char>(diff[i] - source[i]);
  uint32_t add = static_cast<uint32_t>(diff.size());
  return MakePatch(source, {{add, static_cast<uint32_t>(target.size() - add), 0}}, diff,
                   target.substr(add));
}

}  // namespace patch_testing

#endif  // UPDATER_PATCH_PATCH_TEST_UTIL_H_

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

inline std::string EncodeTriples(const std::vector<ControlTriple>& triples) {
  std::string out;
  for (const ControlTriple& t : triples) {
    unsigned char raw[kControlTripleSize];
    encode_control_triple(t, raw);
    out.append(reinterpret_cast<const char*>(raw), sizeof(raw));
  }
  return out;
}

// A patch with a valid header for `source`: its length and CRC, the blocks'
// lengths, and dest_length = the sum of every add and copy length.
inline PatchParts MakePatch(const std::string& source, const std::vector<ControlTriple>& triples,
                            const std::string& diff, const std::string& extra) {
  uint32_t dest_length = 0;
  for (const ControlTriple& t : triples) dest_length += t.add_length + t.copy_length;
  PatchParts p = {{}, EncodeTriples(triples), diff, extra};
  p.header = make_patch_header(
      static_cast<uint32_t>(source.size()), crc32_bzip2(source.data(), source.size()), dest_length,
      static_cast<uint32_t>(p.control.size()), static_cast<uint32_t>(diff.size()),
      static_cast<uint32_t>(extra.size()));
  return p;
}

// Difference bytes that turn `source` into `target` where they overlap.
inline std::string DiffBytes(const std::string& source, const std::string& target) {
  std::string diff = target.substr(0, source.size());
  for (size_t i = 0; i < diff.size(); ++i) diff[i] = static_cast<char>(diff[i] - source[i]);
  return diff;
}

// A valid one-triple patch that turns `source` into `target`.
inline PatchParts MakePatchFor(const std::string& source, const std::string& target) {
  std::string diff = DiffBytes(source, target);
  uint32_t add = static_cast<uint32_t>(diff.size());
  return MakePatch(source, {{add, static_cast<uint32_t>(target.size() - add), 0}}, diff,
                   target.substr(add));
}

}  // namespace patch_testing

#endif  // UPDATER_PATCH_PATCH_TEST_UTIL_H_

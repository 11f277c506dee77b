// The QXPATCH1 binary patch format, shared by the reader (patch.h) and by
// programs that write patches.
//
// A patch file is a 32-byte header followed by three blocks, with nothing
// before, between or after them:
//
//   offset  size  field
//        0     8  tag "QXPATCH1" (no terminator)
//        8     4  source_length   length of the file to be patched
//       12     4  source_crc      CRC-32/BZIP2 (crc32.h) of that whole file
//       16     4  dest_length     length of the patched file
//       20     4  control_length  length of the control block
//       24     4  diff_length     length of the difference block
//       28     4  extra_length    length of the extra block
//       32        control block: ControlTriple records, 12 bytes each
//                 difference block: bytes added (mod 256) to source bytes
//                 extra block: bytes copied to the output unchanged
//
// All integers are big-endian; the header fields are unsigned, a triple's
// seek_offset is two's complement. Each triple, in order: write add_length
// bytes formed as difference byte + source byte (both cursors advance), then
// copy_length bytes from the extra block, then move the source cursor by
// seek_offset. The control block holds at least one whole triple.
#ifndef UPDATER_PATCH_PATCH_FORMAT_H_
#define UPDATER_PATCH_PATCH_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr char kPatchTag[] = "QXPATCH1";
constexpr size_t kPatchTagSize = 8;
constexpr size_t kPatchHeaderSize = 32;
constexpr size_t kControlTripleSize = 12;

// The header in memory, fields in file order, in host byte order.
struct PatchHeader {
  char tag[kPatchTagSize];
  uint32_t source_length;
  uint32_t source_crc;
  uint32_t dest_length;
  uint32_t control_length;
  uint32_t diff_length;
  uint32_t extra_length;
};

// One record of the control block, in host byte order.
struct ControlTriple {
  uint32_t add_length;
  uint32_t copy_length;
  int32_t seek_offset;
};

inline uint32_t decode_be32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void encode_be32(uint32_t v, unsigned char* p) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

// Header to its 32 file bytes. The tag is copied as it is, so a test can
// write a wrong one; use make_patch_header for a valid header.
inline void encode_patch_header(const PatchHeader& h, unsigned char out[kPatchHeaderSize]) {
  memcpy(out, h.tag, kPatchTagSize);
  encode_be32(h.source_length, out + 8);
  encode_be32(h.source_crc, out + 12);
  encode_be32(h.dest_length, out + 16);
  encode_be32(h.control_length, out + 20);
  encode_be32(h.diff_length, out + 24);
  encode_be32(h.extra_length, out + 28);
}

inline PatchHeader decode_patch_header(const unsigned char in[kPatchHeaderSize]) {
  PatchHeader h;
  memcpy(h.tag, in, kPatchTagSize);
  h.source_length = decode_be32(in + 8);
  h.source_crc = decode_be32(in + 12);
  h.dest_length = decode_be32(in + 16);
  h.control_length = decode_be32(in + 20);
  h.diff_length = decode_be32(in + 24);
  h.extra_length = decode_be32(in + 28);
  return h;
}

// A header with the QXPATCH1 tag and the given fields.
inline PatchHeader make_patch_header(uint32_t source_length, uint32_t source_crc,
                                     uint32_t dest_length, uint32_t control_length,
                                     uint32_t diff_length, uint32_t extra_length) {
  PatchHeader h;
  memcpy(h.tag, kPatchTag, kPatchTagSize);
  h.source_length = source_length;
  h.source_crc = source_crc;
  h.dest_length = dest_length;
  h.control_length = control_length;
  h.diff_length = diff_length;
  h.extra_length = extra_length;
  return h;
}

inline void encode_control_triple(const ControlTriple& t, unsigned char out[kControlTripleSize]) {
  encode_be32(t.add_length, out);
  encode_be32(t.copy_length, out + 4);
  encode_be32(static_cast<uint32_t>(t.seek_offset), out + 8);
}

inline ControlTriple decode_control_triple(const unsigned char in[kControlTripleSize]) {
  ControlTriple t;
  t.add_length = decode_be32(in);
  t.copy_length = decode_be32(in + 4);
  t.seek_offset = static_cast<int32_t>(decode_be32(in + 8));
  return t;
}

#endif  // UPDATER_PATCH_PATCH_FORMAT_H_

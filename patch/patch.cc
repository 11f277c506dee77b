#include "patch/patch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "fileops/fileops.h"

namespace {

constexpr size_t kMaxReadPiece = 0x7FFFFFFF;

bool ControlLengthValid(uint32_t control_length) {
  return control_length != 0 && control_length % kControlTripleSize == 0;
}

// dst[i] += src[i] modulo 256, eight bytes per step: the low seven bits of
// each byte are added without a carry into the next byte, and the top bit is
// then the sum of the two top bits and that carry.
void AddBytes(unsigned char* dst, const unsigned char* src, size_t n) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t a, b;
    memcpy(&a, dst + i, 8);
    memcpy(&b, src + i, 8);
    uint64_t sum = ((a & ~kHigh) + (b & ~kHigh)) ^ ((a ^ b) & kHigh);
    memcpy(dst + i, &sum, 8);
  }
  for (; i < n; ++i) dst[i] += src[i];
}

bool WriteAll(FILE* out, const unsigned char* data, size_t length) {
  return length == 0 || fwrite(data, 1, length, out) == length;
}

}  // namespace

bool read_exact(FILE* fp, void* buffer, size_t length) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    size_t piece = length < kMaxReadPiece ? length : kMaxReadPiece;
    if (fread(p, 1, piece, fp) != piece) return false;
    p += piece;
    length -= piece;
  }
  return true;
}

int read_patch_header(FILE* patch, PatchHeader* header) {
  unsigned char raw[kPatchHeaderSize];
  if (fread(raw, 1, sizeof(raw), patch) != sizeof(raw)) return kReadError;
  *header = decode_patch_header(raw);

  struct stat st;
  if (fstat(fileno(patch), &st) != 0) return kReadError;

  if (memcmp(header->tag, kPatchTag, kPatchTagSize) != 0) return kCorruptPatch;
  // 64-bit sum: three 32-bit lengths cannot wrap to a small size.
  uint64_t expected = uint64_t{kPatchHeaderSize} + header->control_length + header->diff_length +
                      header->extra_length;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) != expected) return kCorruptPatch;
  // Refused here, before the caller changes anything, as well as in apply_patch.
  if (!ControlLengthValid(header->control_length)) return kCorruptPatch;
  return kOk;
}

int apply_patch(const PatchHeader& header, FILE* patch, const unsigned char* source, FILE* out) {
  if (!ControlLengthValid(header.control_length)) return kCorruptPatch;

  const size_t total =
      size_t{header.control_length} + size_t{header.diff_length} + size_t{header.extra_length};
  std::unique_ptr<unsigned char[]> blocks(new (std::nothrow) unsigned char[total]);
  if (!blocks) return kPatchNoMemory;
  if (!read_exact(patch, blocks.get(), total)) return kReadError;

  const unsigned char* control = blocks.get();
  unsigned char* diff = blocks.get() + header.control_length;
  const unsigned char* extra = diff + header.diff_length;

  // The source cursor is signed and wide so a negative seek is seen as such.
  const int64_t source_length = header.source_length;
  int64_t source_pos = 0;
  size_t diff_pos = 0;
  size_t extra_pos = 0;
  const size_t triples = header.control_length / kControlTripleSize;

  for (size_t t = 0; t < triples; ++t) {
    const ControlTriple triple = decode_control_triple(control + t * kControlTripleSize);

    if (triple.add_length > static_cast<uint64_t>(source_length - source_pos) ||
        triple.add_length > header.diff_length - diff_pos) {
      return kCorruptPatch;
    }
    // Sums are formed in the difference block itself: each of its bytes is
    // used once, and no output buffer is needed.
    unsigned char* sum = diff + diff_pos;
    AddBytes(sum, source + source_pos, triple.add_length);
    if (!WriteAll(out, sum, triple.add_length)) return kWriteError;
    diff_pos += triple.add_length;
    source_pos += triple.add_length;

    if (triple.copy_length > header.extra_length - extra_pos) return kCorruptPatch;
    if (!WriteAll(out, extra + extra_pos, triple.copy_length)) return kWriteError;
    extra_pos += triple.copy_length;

    source_pos += triple.seek_offset;
    if (source_pos < 0 || source_pos > source_length) return kCorruptPatch;
  }
  return kOk;
}

int write_patched_file(const PatchHeader& header, FILE* patch, const unsigned char* source,
                       FILE* out) {
  int fd = fileno(out);
  if (header.dest_length > 0) posix_fallocate(fd, 0, header.dest_length);
  int rv = apply_patch(header, patch, source, out);
  if (rv != kOk) return rv;
  // posix_fallocate sets the file's size to dest_length; the patch decides
  // the content, so the size is what was written.
  if (fflush(out) != 0) return kWriteError;
  off_t end = ftello(out);
  if (end < 0 || ftruncate(fd, end) != 0) return kWriteError;
  return kOk;
}

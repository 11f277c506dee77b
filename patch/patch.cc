#include "patch/patch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "base/error_codes.h"
#include "base/work_meter.h"

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

enum Block { kControl, kDiff, kExtra, kBlockCount };

// Enough to keep each read and write large; together far below any source.
constexpr size_t kBlockBufferSizes[kBlockCount] = {size_t{64} << 10, size_t{1} << 20,
                                                   size_t{1} << 20};

// One block of the patch, read front to back through a bounded buffer with
// positioned reads, so that the three blocks are read side by side from one
// descriptor without seeking the stream. Or, for a stream without a file, the
// whole block already in memory.
class BlockReader {
 public:
  // Reads `length` bytes from `offset` of `fd` through a buffer of `capacity`
  // bytes. False when the buffer cannot be allocated.
  bool Stream(int fd, off_t offset, uint64_t length, size_t capacity) {
    fd_ = fd;
    offset_ = offset;
    unread_ = length;
    capacity_ = static_cast<size_t>(std::min<uint64_t>(capacity, length));
    owned_.reset(new (std::nothrow) unsigned char[capacity_ ? capacity_ : 1]);
    data_ = owned_.get();
    return data_ != nullptr;
  }

  // The whole block at `data`, owned by the caller.
  void Hold(unsigned char* data, uint64_t length) {
    data_ = data;
    end_ = static_cast<size_t>(length);
  }

  // Up to `want` (> 0) of the next bytes, at *data, writable in place; their
  // count, 0 at the end of the block, or -1 when a read fails or comes up
  // short.
  int64_t Next(size_t want, unsigned char** data) {
    if (pos_ == end_) {
      if (unread_ == 0) return 0;
      size_t n = static_cast<size_t>(std::min<uint64_t>(capacity_, unread_));
      if (pread(fd_, data_, n, offset_) != static_cast<ssize_t>(n)) return -1;
      offset_ += static_cast<off_t>(n);
      unread_ -= n;
      pos_ = 0;
      end_ = n;
    }
    size_t n = std::min(want, end_ - pos_);
    *data = data_ + pos_;
    pos_ += n;
    return static_cast<int64_t>(n);
  }

  // Copies exactly `n` bytes. 0; 6 on a failed read; 41 when the block ends
  // first.
  int Read(unsigned char* dst, size_t n) {
    while (n > 0) {
      unsigned char* p;
      int64_t got = Next(n, &p);
      if (got < 0) return kReadError;
      if (got == 0) return kCorruptPatch;
      memcpy(dst, p, static_cast<size_t>(got));
      dst += got;
      n -= static_cast<size_t>(got);
    }
    return kOk;
  }

 private:
  std::unique_ptr<unsigned char[]> owned_;
  unsigned char* data_ = nullptr;
  int fd_ = -1;
  off_t offset_ = 0;
  uint64_t unread_ = 0;  // bytes of the block not yet in the buffer
  size_t capacity_ = 0;
  size_t pos_ = 0;  // next byte of the buffer
  size_t end_ = 0;  // bytes in the buffer
};

// Applies every triple, taking the blocks' bytes as the triples use them.
// The bounds are checked against the blocks' lengths before any byte of a
// step is taken, so the output on a corrupt triple is the same as when the
// blocks are held whole; only a failing read can stop a step half-way.
// The output between two reports to a meter.
constexpr uint64_t kMeterStep = uint64_t{1} << 20;

int ApplyTriples(const PatchHeader& header, const unsigned char* source,
                 BlockReader (&blocks)[kBlockCount], FILE* out, WorkMeter* meter) {
  uint64_t unreported = 0;
  // The source cursor is signed and wide so a negative seek is seen as such.
  const int64_t source_length = header.source_length;
  int64_t source_pos = 0;
  uint64_t diff_left = header.diff_length;
  uint64_t extra_left = header.extra_length;
  const size_t triples = header.control_length / kControlTripleSize;

  for (size_t t = 0; t < triples; ++t) {
    unsigned char raw[kControlTripleSize];
    int rv = blocks[kControl].Read(raw, sizeof(raw));
    if (rv != kOk) return rv;
    const ControlTriple triple = decode_control_triple(raw);

    if (triple.add_length > static_cast<uint64_t>(source_length - source_pos) ||
        triple.add_length > diff_left) {
      return kCorruptPatch;
    }
    // Sums are formed in the difference bytes themselves: each is used once,
    // and no output buffer is needed.
    for (size_t left = triple.add_length; left > 0;) {
      unsigned char* sum;
      int64_t n = blocks[kDiff].Next(left, &sum);
      if (n <= 0) return kReadError;
      AddBytes(sum, source + source_pos, static_cast<size_t>(n));
      if (!WriteAll(out, sum, static_cast<size_t>(n))) return kWriteError;
      source_pos += n;
      left -= static_cast<size_t>(n);
    }
    diff_left -= triple.add_length;

    if (triple.copy_length > extra_left) return kCorruptPatch;
    for (size_t left = triple.copy_length; left > 0;) {
      unsigned char* bytes;
      int64_t n = blocks[kExtra].Next(left, &bytes);
      if (n <= 0) return kReadError;
      if (!WriteAll(out, bytes, static_cast<size_t>(n))) return kWriteError;
      left -= static_cast<size_t>(n);
    }
    extra_left -= triple.copy_length;

    source_pos += triple.seek_offset;
    if (source_pos < 0 || source_pos > source_length) return kCorruptPatch;
    unreported += triple.add_length + triple.copy_length;
    if (meter && unreported >= kMeterStep) {
      meter->Advance(unreported);
      unreported = 0;
    }
  }
  if (meter && unreported > 0) meter->Advance(unreported);
  return kOk;
}

// Feeds the control block of the patch file `fd` to `walk` with positioned
// reads: the stream stays where it is. 0, 6 or 41.
int WalkControlBlock(int fd, const PatchHeader& header, PatchControlWalk* walk) {
  unsigned char buffer[kControlTripleSize * 1024];
  for (uint64_t done = 0; done < header.control_length;) {
    size_t n =
        static_cast<size_t>(std::min<uint64_t>(sizeof(buffer), header.control_length - done));
    if (pread(fd, buffer, n, static_cast<off_t>(kPatchHeaderSize + done)) !=
        static_cast<ssize_t>(n)) {
      return kReadError;
    }
    if (!walk->Feed(buffer, n)) return kCorruptPatch;
    done += n;
  }
  return walk->Finish();
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

  if (st.st_size < 0) return kCorruptPatch;
  int rv = validate_patch_header(*header, static_cast<uint64_t>(st.st_size));
  if (rv != kOk) return rv;
  // A stream without a file behind it cannot be read twice; apply_patch
  // still refuses its triples one by one.
  if (!S_ISREG(st.st_mode)) return kOk;
  PatchControlWalk walk(*header);
  return WalkControlBlock(fileno(patch), *header, &walk);
}

int validate_patch_header(const PatchHeader& header, uint64_t patch_size) {
  if (memcmp(header.tag, kPatchTag, kPatchTagSize) != 0) return kCorruptPatch;
  // 64-bit sum: three 32-bit lengths cannot wrap to a small size.
  uint64_t expected =
      uint64_t{kPatchHeaderSize} + header.control_length + header.diff_length + header.extra_length;
  if (patch_size != expected) return kCorruptPatch;
  // Refused here, before the caller changes anything, as well as in apply_patch.
  return ControlLengthValid(header.control_length) ? kOk : kCorruptPatch;
}

bool PatchControlWalk::Feed(const unsigned char* bytes, size_t length) {
  fed_ += length;
  while (length > 0 && !refused_) {
    if (partial_length_ == 0 && length >= kControlTripleSize) {
      refused_ = !Triple(decode_control_triple(bytes));
      bytes += kControlTripleSize;
      length -= kControlTripleSize;
      continue;
    }
    size_t n = std::min(length, kControlTripleSize - partial_length_);
    memcpy(partial_ + partial_length_, bytes, n);
    partial_length_ += n;
    bytes += n;
    length -= n;
    if (partial_length_ == kControlTripleSize) {
      partial_length_ = 0;
      refused_ = !Triple(decode_control_triple(partial_));
    }
  }
  return !refused_;
}

// The checks of ApplyTriples, in its order, on the lengths alone.
bool PatchControlWalk::Triple(const ControlTriple& triple) {
  const int64_t source_length = header_.source_length;
  if (triple.add_length > static_cast<uint64_t>(source_length - source_pos_) ||
      triple.add_length > diff_left_) {
    return false;
  }
  source_pos_ += triple.add_length;
  diff_left_ -= triple.add_length;
  if (triple.copy_length > extra_left_) return false;
  extra_left_ -= triple.copy_length;
  written_ += uint64_t{triple.add_length} + triple.copy_length;
  source_pos_ += triple.seek_offset;
  return source_pos_ >= 0 && source_pos_ <= source_length;
}

int PatchControlWalk::Finish() const {
  if (refused_ || fed_ != header_.control_length || partial_length_ != 0) return kCorruptPatch;
  return written_ == header_.dest_length ? kOk : kCorruptPatch;
}

int apply_patch(const PatchHeader& header, FILE* patch, const unsigned char* source, FILE* out,
                WorkMeter* meter) {
  if (!ControlLengthValid(header.control_length)) return kCorruptPatch;

  const uint64_t lengths[kBlockCount] = {header.control_length, header.diff_length,
                                         header.extra_length};
  const uint64_t total = lengths[0] + lengths[1] + lengths[2];
  std::unique_ptr<unsigned char[]> whole;
  BlockReader blocks[kBlockCount];

  const int fd = fileno(patch);
  struct stat st;
  const off_t start = fd >= 0 ? ftello(patch) : -1;
  if (start >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // Checked up front so that a short file fails before anything is written,
    // as if the blocks had been read whole.
    if (st.st_size < start || static_cast<uint64_t>(st.st_size - start) < total) {
      return kReadError;
    }
    off_t offset = start;
    for (int b = 0; b < kBlockCount; ++b) {
      if (!blocks[b].Stream(fd, offset, lengths[b], kBlockBufferSizes[b])) return kPatchNoMemory;
      offset += static_cast<off_t>(lengths[b]);
    }
    int rv = ApplyTriples(header, source, blocks, out, meter);
    // The stream ends where reading the blocks whole would have left it.
    fseeko(patch, offset, SEEK_SET);
    return rv;
  }

  // A stream without a file behind it (a pipe, memory) is read whole.
  whole.reset(new (std::nothrow) unsigned char[total]);
  if (!whole) return kPatchNoMemory;
  if (!read_exact(patch, whole.get(), total)) return kReadError;
  unsigned char* block = whole.get();
  for (int b = 0; b < kBlockCount; ++b) {
    blocks[b].Hold(block, lengths[b]);
    block += lengths[b];
  }
  return ApplyTriples(header, source, blocks, out, meter);
}

int write_patched_file(const PatchHeader& header, FILE* patch, const unsigned char* source,
                       FILE* out, WorkMeter* meter) {
  int fd = fileno(out);
  if (header.dest_length > 0) posix_fallocate(fd, 0, header.dest_length);
  int rv = apply_patch(header, patch, source, out, meter);
  if (rv != kOk) return rv;
  // posix_fallocate sets the file's size to dest_length; the patch decides
  // the content, so the size is what was written.
  if (fflush(out) != 0) return kWriteError;
  off_t end = ftello(out);
  if (end < 0 || ftruncate(fd, end) != 0) return kWriteError;
  return kOk;
}

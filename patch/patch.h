// Reading and applying QXPATCH1 patches (format in patch_format.h). Pure data
// processing on streams and buffers: nothing here logs, and nothing opens,
// closes or removes a file.
#ifndef UPDATER_PATCH_PATCH_H_
#define UPDATER_PATCH_PATCH_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "patch/patch_format.h"

class WorkMeter;

// The header's own rules, against the size of the whole patch: the tag, a
// size of exactly 32 plus the three block lengths (summed without
// wrap-around), and a control block of whole triples, at least one. 0 or 41.
int validate_patch_header(const PatchHeader& header, uint64_t patch_size);

// Walks the control block of a patch as apply_patch will, without its data:
// every triple must stay within the source (header.source_length bytes), the
// difference block and the extra block, its seek must leave the source cursor
// within the source (exactly at the end is allowed), and together the
// triples must write exactly header.dest_length bytes. A patch that passes
// can fail in apply_patch only by reading or writing. The patch action, the
// check of an update and qxpatch all judge a patch by this one walk.
class PatchControlWalk {
 public:
  explicit PatchControlWalk(const PatchHeader& header) : header_(header) {}
  // Feeds the next `length` bytes of the control block, in pieces of any
  // size. False once a triple is refused.
  bool Feed(const unsigned char* bytes, size_t length);
  // 0 once the whole control block was fed and passed, else 41.
  int Finish() const;

 private:
  bool Triple(const ControlTriple& triple);
  const PatchHeader header_;
  unsigned char partial_[kControlTripleSize] = {};
  size_t partial_length_ = 0;
  uint64_t fed_ = 0;
  int64_t source_pos_ = 0;
  uint64_t diff_left_ = header_.diff_length;
  uint64_t extra_left_ = header_.extra_length;
  uint64_t written_ = 0;
  bool refused_ = false;
};

// Reads the 32-byte header from `patch` (positioned at its start) into
// `header`, in host byte order, and checks it against the open file's size.
// Returns:
//   0  valid; the stream stands at byte 32
//   6  fewer than 32 bytes, or the file's size is unavailable
//  41  validate_patch_header refuses it, or (for a regular file, whose
//      control block is read with positioned reads) PatchControlWalk does
// The checks run in that order, so a short header is 6 even with a wrong tag.
// A dest_length that passes is no more than the patch file's size, so the
// space reserved for the output is bounded and filled by the triples.
int read_patch_header(FILE* patch, PatchHeader* header);

// Rebuilds the new file from `source` (exactly header.source_length bytes,
// read-only, owned by the caller) and the three blocks that follow the header
// in `patch` (positioned at byte 32), writing it to `out` from its current
// position. `out` is neither flushed nor closed; header.dest_length is not used.
// Returns:
//   0  every triple applied (unused difference or extra bytes are ignored)
//   6  the stream holds fewer block bytes than the header names (found
//      before anything is written), or a block read fails
//   7  a write to `out` came up short
//  12  no memory for the block buffers
//  41  the control block's length is zero or not a multiple of 12, or a
//      triple reaches past the source, the difference block or the extra block,
//      or its seek moves the source cursor before the source's start or past
//      its end (exactly at the end is allowed)
// A failure stops at once: whatever was written before it stays in `out` (the
// earlier triples, and the failing triple's steps that passed their checks).
// When the stream is a regular file, the three blocks are read side by side
// through bounded buffers (about 2 MiB together, whatever the patch's size),
// and the stream is left at the end of the blocks; any other stream is read
// whole first. Sums are formed in place. A given `meter` is told of the
// bytes written, about every MiB.
int apply_patch(const PatchHeader& header, FILE* patch, const unsigned char* source, FILE* out,
                WorkMeter* meter = nullptr);

// Writes the patched file into `out`, a new file open for writing at offset 0:
// reserves header.dest_length bytes of space (a failed reservation is no
// error), runs apply_patch, and on success flushes `out` and cuts the file to
// the bytes written, so that a dest_length larger than the patch's output
// leaves no reserved tail in the file. Returns the codes of apply_patch, or 7
// when the flush or the cut fails. `out` stays open.
int write_patched_file(const PatchHeader& header, FILE* patch, const unsigned char* source,
                       FILE* out, WorkMeter* meter = nullptr);

// Reads exactly `length` bytes into `buffer`, in pieces of at most 2^31 - 1
// bytes. False when any piece comes up short.
bool read_exact(FILE* fp, void* buffer, size_t length);

#endif  // UPDATER_PATCH_PATCH_H_

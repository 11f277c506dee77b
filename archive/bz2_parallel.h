// Decoding of one bzip2 stream on several threads. The stream's blocks are
// found by their 48-bit magic at any bit position, each block is handed to
// libbz2 as a stream of its own on a thread from the decoder budget, and the
// blocks are written in order, each only once libbz2 has checked its CRC and
// the combined CRC of the stream holds. Whatever looks odd (a damaged block, a
// magic inside a block's data, a short or unreadable stream) is not judged
// here: the caller decodes the stream again on one thread and skips the bytes
// this wrote, which are a prefix of what that decoding writes, so the output
// and the result are those of the single-threaded decoding in every case.
#ifndef UPDATER_ARCHIVE_BZ2_PARALLEL_H_
#define UPDATER_ARCHIVE_BZ2_PARALLEL_H_

#include <atomic>
#include <cstdint>
#include <cstdio>

// Reads stored bytes at `position` into `buffer`: the count, 0 at the end of
// the stored bytes, negative on failure. Called from the decoding's own
// thread only.
using StoredBytesReader = int (*)(void* context, uint32_t position, void* buffer, int size);

struct ParallelDecodeResult {
  // True when the caller must decode the stream on one thread, skipping the
  // first `written` bytes of its output.
  bool fall_back = true;
  // Without fall_back: 0, 7 (writing failed) or the caller's cancel code.
  int code = 0;
  // Bytes written to the stream, all from blocks whose CRCs held.
  uint64_t written = 0;
};

// Decodes the `length` stored bytes read through `read` into `fp`, on the
// calling thread and as many budget threads as are free (taken while it
// runs). A set `cancel` stops it between two blocks with `cancelled_code`.
ParallelDecodeResult DecodeBzip2Parallel(StoredBytesReader read, void* context, uint32_t length,
                                         FILE* fp, const std::atomic<bool>* cancel,
                                         int cancelled_code);

#endif  // UPDATER_ARCHIVE_BZ2_PARALLEL_H_

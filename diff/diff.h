// Binary differences in the QXPATCH1 format (patch/patch_format.h).
//
// A suffix array of the old bytes finds, for each position of the new bytes,
// the longest exact match in the old ones. The scan keeps the current
// alignment of old and new as long as it still matches well, and jumps to a
// new alignment only when that matches clearly better; each alignment is then
// extended forwards and backwards for as long as more than half of the bytes
// agree. Bytes covered by an alignment go to the difference block as
// new - old (mostly zeros, which bzip2 compresses well); the rest go to the
// extra block unchanged.
#ifndef UPDATER_DIFF_DIFF_H_
#define UPDATER_DIFF_DIFF_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "patch/patch_format.h"

// Results of the functions below.
enum QxdiffResult : int {
  kQxdiffOk = 0,
  kQxdiffReadError = 1,   // an input cannot be opened, examined or read
  kQxdiffWriteError = 2,  // the patch cannot be created or written
  kQxdiffTooLarge = 3,    // an input or the patch exceeds what the format or the index holds
  kQxdiffNoMemory = 4,    // no memory for the suffix array or the triples
};

// The largest old input: the suffix array holds 32-bit signed positions.
constexpr uint64_t kQxdiffMaxOldSize = 0x7FFFFFFEu;
// The largest new input: dest_length is an unsigned 32-bit field.
constexpr uint64_t kQxdiffMaxNewSize = 0xFFFFFFFFu;

struct QxdiffOptions {
  // Bounds on one triple's fields. The defaults are the format's own; tests
  // use small ones to exercise the splitting of long runs.
  uint32_t max_length = 0xFFFFFFFFu;  // add_length and copy_length
  int32_t max_seek = 0x7FFFFFFF;      // |seek_offset|
  // Threads that scan parts of the new bytes at once (parts of at least
  // 4 MiB); the suffix array is shared.
  int threads = 1;
};

// The sorted suffixes of one buffer, with a table of where each two-byte
// prefix begins in that order. Borrows `data`, which must outlive the index.
class SuffixIndex {
 public:
  SuffixIndex() = default;
  SuffixIndex(const SuffixIndex&) = delete;
  SuffixIndex& operator=(const SuffixIndex&) = delete;

  // Sorts the suffixes of `size` bytes at `data`. kQxdiffOk,
  // kQxdiffTooLarge (size > kQxdiffMaxOldSize) or kQxdiffNoMemory.
  int Build(const uint8_t* data, size_t size);

  // Length of the longest prefix of the `length` bytes at `pattern` that
  // occurs in the indexed data, and one position where it occurs (0 when the
  // length is 0). Given `near` >= 0, of a few positions with that longest
  // match the one closest to `near`.
  size_t LongestMatch(const uint8_t* pattern, size_t length, size_t* position,
                      int64_t near = -1) const;

 private:
  size_t Nearest(const uint8_t* pattern, size_t length, size_t rank, size_t common, int64_t near,
                 size_t* position) const;
  size_t CommonPrefix(const uint8_t* pattern, size_t length, int32_t suffix, size_t from) const;

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  std::unique_ptr<int32_t[]> suffixes_;
  // bucket_start_[k] is where the suffixes that begin with the two bytes
  // k >> 8, k & 0xFF start in the order; bucket_count_[k] how many there are.
  std::vector<uint32_t> bucket_start_;
  std::vector<uint32_t> bucket_count_;
  int64_t last_of_byte_[256] = {};  // a position of each byte value, or -1
};

// Told, now and then, that the current pass will not read the new bytes
// [from, to) again, so that a caller who mapped them can let their pages go.
// Called from the scanning threads, for disjoint ranges.
using QxdiffReleaseFn = std::function<void(size_t from, size_t to)>;

// Computes the triples that turn `old_data` into `new_data` (both borrowed).
// Every triple respects the bounds in `options`; long runs and far seeks are split. The list
// always holds at least one triple. kQxdiffOk, kQxdiffTooLarge or
// kQxdiffNoMemory. Memory: a suffix array of 4 bytes per old byte, freed
// before returning.
int qxdiff_compute(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                   size_t new_size, const QxdiffOptions& options,
                   std::vector<ControlTriple>* triples,
                   const QxdiffReleaseFn& release_new = nullptr);

// Writes a complete patch (header, control, difference and extra blocks) to
// `out` from its current position, replaying `triples` over the two buffers.
// The stream is neither flushed nor closed. kQxdiffOk, kQxdiffTooLarge (the
// control block would exceed 32 bits) or kQxdiffWriteError.
int qxdiff_write_patch(FILE* out, const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                       size_t new_size, const std::vector<ControlTriple>& triples,
                       const QxdiffReleaseFn& release_new = nullptr);

// The whole tool: reads the files at `old_path` and `new_path` and writes the
// patch to `patch_path` (removed again on failure), scanning on `threads`
// threads. On failure `error` holds a one-line explanation naming the file.
// Any QxdiffResult. Peak memory: about 5 bytes per old byte plus 16 MiB of
// the new file per thread.
int qxdiff_files(const char* old_path, const char* new_path, const char* patch_path, int threads,
                 std::string* error);

#endif  // UPDATER_DIFF_DIFF_H_

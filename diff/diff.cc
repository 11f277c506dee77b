#include "diff/diff.h"

#include <divsufsort.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <thread>

#include "patch/crc32.h"

namespace {

// A new alignment must beat the current one by more than this many matching
// bytes before the scan gives the current one up: switching costs a triple.
constexpr int64_t kSwitchMargin = 9;

// The scan trusts the current alignment where it agrees on kTrustedRun bytes
// in a row, starting here or within kResumeWindow bytes ahead.
constexpr size_t kTrustedRun = 16;
constexpr size_t kResumeWindow = 16;

// Of the old positions that share a longest match, up to this many on each
// side in the suffix order are weighed; the one nearest the current alignment
// gives smaller seeks and often a longer approximate match.
constexpr size_t kNearbyCandidates = 16;

// Each scanning thread gets at least this many new bytes.
constexpr size_t kMinPartSize = size_t{4} << 20;

// New bytes that a pass moves past before it lets their pages go.
constexpr size_t kReleaseStep = size_t{8} << 20;

// Bytes formed per write while the difference and extra blocks are streamed.
constexpr size_t kWriteChunk = 1 << 16;

// Appends triples for one stretch (add, copy, then move the old cursor by
// seek), splitting whatever does not fit the limits.
class TripleSink {
 public:
  TripleSink(const QxdiffOptions& limits, std::vector<ControlTriple>* out)
      : limits_(limits), out_(out) {}

  void Emit(uint64_t add, uint64_t copy, int64_t seek) {
    while (add > limits_.max_length) {
      Push(limits_.max_length, 0, 0);
      add -= limits_.max_length;
    }
    while (copy > limits_.max_length) {
      Push(static_cast<uint32_t>(add), limits_.max_length, 0);
      add = 0;
      copy -= limits_.max_length;
    }
    int64_t step = std::clamp<int64_t>(seek, -int64_t{limits_.max_seek}, limits_.max_seek);
    Push(static_cast<uint32_t>(add), static_cast<uint32_t>(copy), static_cast<int32_t>(step));
    for (seek -= step; seek != 0; seek -= step) {
      step = std::clamp<int64_t>(seek, -int64_t{limits_.max_seek}, limits_.max_seek);
      Push(0, 0, static_cast<int32_t>(step));
    }
  }

 private:
  void Push(uint32_t add, uint32_t copy, int32_t seek) {
    // A bare seek joins the previous triple's seek when the sum fits.
    if (add == 0 && copy == 0 && !out_->empty()) {
      int64_t sum = int64_t{out_->back().seek_offset} + seek;
      if (sum >= -int64_t{limits_.max_seek} && sum <= limits_.max_seek) {
        out_->back().seek_offset = static_cast<int32_t>(sum);
        return;
      }
    }
    out_->push_back(ControlTriple{add, copy, seek});
  }

  QxdiffOptions limits_;
  std::vector<ControlTriple>* out_;
};

// Length of the prefix of [from, limit) that scores best as an extension of
// an alignment, counting +1 for each agreeing byte and -1 for each other one.
// `old_at(k)` and `new_at(k)` give the k-th byte in the direction of growth.
template <typename OldAt, typename NewAt>
size_t BestExtension(size_t limit, OldAt old_at, NewAt new_at) {
  int64_t score = 0, best = 0;
  size_t best_length = 0;
  for (size_t k = 0; k < limit; k++) {
    score += old_at(k) == new_at(k) ? 1 : -1;
    if (score > best) {
      best = score;
      best_length = k + 1;
    }
  }
  return best_length;
}

int ErrnoFailure(std::string* error, const char* what, const char* path, int code) {
  *error = std::string(what) + " " + path + ": " + strerror(errno);
  return code;
}

// A read-only private mapping of a whole file (nothing for an empty file).
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (data_ != nullptr) munmap(data_, size_);
  }

  int Open(const char* path, uint64_t max_size, std::string* error) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrnoFailure(error, "cannot open", path, kQxdiffReadError);
    struct stat st;
    if (fstat(fd, &st) != 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return ErrnoFailure(error, "cannot examine", path, kQxdiffReadError);
    }
    if (!S_ISREG(st.st_mode)) {
      close(fd);
      *error = std::string("not a regular file: ") + path;
      return kQxdiffReadError;
    }
    if (static_cast<uint64_t>(st.st_size) > max_size) {
      close(fd);
      *error = std::string(path) + " has " + std::to_string(st.st_size) +
               " bytes; the largest that can be used here has " + std::to_string(max_size);
      return kQxdiffTooLarge;
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
      void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p == MAP_FAILED) {
        int saved = errno;
        close(fd);
        errno = saved;
        size_ = 0;
        return ErrnoFailure(error, "cannot read", path, kQxdiffReadError);
      }
      data_ = static_cast<uint8_t*>(p);
    }
    close(fd);
    return kQxdiffOk;
  }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  void Advise(int advice) const {
    if (data_ != nullptr) madvise(data_, size_, advice);
  }

  // Drops the pages that lie wholly inside [from, to) from this process;
  // they are read again from the file if touched.
  void Release(size_t from, size_t to) const {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t first = (from + page - 1) / page * page, last = to / page * page;
    if (data_ != nullptr && first < last) madvise(data_ + first, last - first, MADV_DONTNEED);
  }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

bool WriteAll(FILE* out, const void* data, size_t length) {
  return length == 0 || fwrite(data, 1, length, out) == length;
}

}  // namespace

int SuffixIndex::Build(const uint8_t* data, size_t size) {
  if (size > kQxdiffMaxOldSize) return kQxdiffTooLarge;
  data_ = data;
  size_ = size;
  suffixes_.reset(new (std::nothrow) int32_t[size + 1]);
  if (!suffixes_) return kQxdiffNoMemory;
  if (size > 0 && divsufsort(data, suffixes_.get(), static_cast<saidx_t>(size)) != 0) {
    return kQxdiffNoMemory;
  }
  bucket_start_.assign(65536, 0);
  bucket_count_.assign(65536, 0);
  std::fill(std::begin(last_of_byte_), std::end(last_of_byte_), -1);
  for (size_t i = 0; i < size; i++) last_of_byte_[data[i]] = static_cast<int64_t>(i);
  for (size_t i = 0; i + 1 < size; i++) bucket_count_[(data[i] << 8) | data[i + 1]]++;
  // The one-byte suffix at the end sorts before every longer suffix that
  // begins with the same byte, so it shifts those buckets by one.
  uint32_t start = 0;
  for (size_t k = 0; k < 65536; k++) {
    if (size > 0 && k == static_cast<size_t>(data[size - 1]) << 8) start++;
    bucket_start_[k] = start;
    start += bucket_count_[k];
  }
  return kQxdiffOk;
}

size_t SuffixIndex::CommonPrefix(const uint8_t* pattern, size_t length, int32_t suffix,
                                 size_t from) const {
  size_t limit = std::min(length, size_ - static_cast<size_t>(suffix));
  const uint8_t* s = data_ + suffix;
  size_t k = from;
  while (k + 8 <= limit) {
    uint64_t a, b;
    memcpy(&a, pattern + k, 8);
    memcpy(&b, s + k, 8);
    if (a != b) return k + __builtin_ctzll(a ^ b) / 8;
    k += 8;
  }
  while (k < limit && pattern[k] == s[k]) k++;
  return k;
}

size_t SuffixIndex::LongestMatch(const uint8_t* pattern, size_t length, size_t* position,
                                 int64_t near) const {
  *position = 0;
  if (length == 0 || size_ == 0) return 0;
  if (length == 1 || bucket_count_[(pattern[0] << 8) | pattern[1]] == 0) {
    if (last_of_byte_[pattern[0]] < 0) return 0;
    *position = static_cast<size_t>(last_of_byte_[pattern[0]]);
    return 1;
  }
  size_t key = (pattern[0] << 8) | pattern[1];
  size_t lo = bucket_start_[key];
  size_t hi = lo + bucket_count_[key] - 1;
  // Every suffix of the bucket shares two bytes with the pattern; the common
  // prefix with any suffix between two others is at least the smaller of
  // theirs, so comparisons start there.
  size_t lo_common = CommonPrefix(pattern, length, suffixes_[lo], 2);
  if (lo_common == length || lo == hi)
    return Nearest(pattern, length, lo, lo_common, near, position);
  size_t hi_common = CommonPrefix(pattern, length, suffixes_[hi], 2);
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    int32_t suffix = suffixes_[mid];
    size_t common = CommonPrefix(pattern, length, suffix, std::min(lo_common, hi_common));
    if (common == length) return Nearest(pattern, length, mid, common, near, position);
    size_t end = static_cast<size_t>(suffix) + common;
    if (end == size_ || data_[end] < pattern[common]) {
      lo = mid;
      lo_common = common;
    } else {
      hi = mid;
      hi_common = common;
    }
  }
  size_t best = lo_common >= hi_common ? lo : hi;
  return Nearest(pattern, length, best, std::max(lo_common, hi_common), near, position);
}

size_t SuffixIndex::Nearest(const uint8_t* pattern, size_t length, size_t rank, size_t common,
                            int64_t near, size_t* position) const {
  // Suffixes that share the match sit next to each other in the order; of a
  // few of them, take the one closest to where the caller expects it.
  *position = static_cast<size_t>(suffixes_[rank]);
  if (near < 0 || common == 0) return common;
  auto distance = [near](size_t p) {
    return static_cast<uint64_t>(std::abs(static_cast<int64_t>(p) - near));
  };
  for (int direction : {-1, 1}) {
    size_t r = rank;
    for (size_t step = 0; step < kNearbyCandidates; step++) {
      if (direction < 0 ? r == 0 : r + 1 >= size_) break;
      r = direction < 0 ? r - 1 : r + 1;
      if (CommonPrefix(pattern, length, suffixes_[r], 0) < common) break;
      size_t p = static_cast<size_t>(suffixes_[r]);
      if (distance(p) < distance(*position)) *position = p;
    }
  }
  return common;
}

namespace {

// A stretch of the new bytes: `add` bytes formed from the old bytes at
// old_start, then `copy` bytes taken as they are.
// Sizes are below 2^32: the inputs are limited to that.
struct Segment {
  uint32_t old_start;
  uint32_t add;
  uint32_t copy;
};

// Segments are many (one per 50 new bytes in a major upgrade); a deque grows
// without the doubling copies of a vector and gives blocks back as it drains.
using SegmentList = std::deque<Segment>;

// Scans the new bytes [begin, end) and appends the segments that cover them,
// in order. Matches may reach past `end` in the old bytes but not in the new.
void ScanRange(const SuffixIndex& index, const uint8_t* old_data, size_t old_size,
               const uint8_t* new_data, size_t begin, size_t end,
               const QxdiffReleaseFn& release_new, SegmentList* segments) {
  const int64_t old_end = static_cast<int64_t>(old_size);
  auto agrees = [&](size_t new_pos, int64_t offset) {
    int64_t old_pos = static_cast<int64_t>(new_pos) + offset;
    return old_pos >= 0 && old_pos < old_end && old_data[old_pos] == new_data[new_pos];
  };
  // Length of the exact run of the alignment `offset` from new_pos, counted
  // up to `cap` bytes.
  auto aligned_run = [&](size_t new_pos, int64_t offset, size_t cap) {
    size_t k = 0;
    while (k < cap && new_pos + k < end && agrees(new_pos + k, offset)) k++;
    return k;
  };

  // The stretch not yet emitted begins at last_new in the new bytes; it
  // continues the alignment that puts old byte last_old opposite it.
  size_t last_new = begin, last_old = 0, released = begin;
  int64_t last_offset = -static_cast<int64_t>(begin);
  size_t scan = begin, match_length = 0, match_pos = 0;
  while (scan < end) {
    // Bytes of [scan, counted) that the current alignment already matches.
    int64_t aligned = 0;
    scan += match_length;
    size_t counted = scan;
    for (; scan < end; scan++) {
      // Where the current alignment holds a long exact run here or just
      // ahead, no other alignment is looked for: the searches are where the
      // time goes, and a switch there rarely pays.
      size_t ahead = 0;
      while (ahead <= kResumeWindow &&
             aligned_run(scan + ahead, last_offset, kTrustedRun) < kTrustedRun) {
        ahead++;
      }
      if (ahead == 0) {
        match_length = aligned_run(scan, last_offset, end - scan);
        match_pos = static_cast<size_t>(static_cast<int64_t>(scan) + last_offset);
        aligned = static_cast<int64_t>(match_length);
        break;
      }
      if (ahead <= kResumeWindow) {
        if (counted > scan && agrees(scan, last_offset)) aligned--;
        continue;
      }
      match_length = index.LongestMatch(new_data + scan, end - scan, &match_pos,
                                        static_cast<int64_t>(scan) + last_offset);
      for (; counted < scan + match_length; counted++) {
        if (agrees(counted, last_offset)) aligned++;
      }
      int64_t length = static_cast<int64_t>(match_length);
      // An exact match that the current alignment reproduces is skipped over
      // whole; one that beats it clearly ends the current stretch.
      if ((length == aligned && length != 0) || length > aligned + kSwitchMargin) break;
      if (counted > scan && agrees(scan, last_offset)) aligned--;
    }
    if (static_cast<int64_t>(match_length) == aligned && scan < end) continue;

    size_t forward = BestExtension(
        std::min(scan - last_new, old_size - last_old),
        [&](size_t k) { return old_data[last_old + k]; },
        [&](size_t k) { return new_data[last_new + k]; });
    size_t backward = 0;
    if (scan < end) {
      backward = BestExtension(
          std::min(scan - last_new, match_pos),
          [&](size_t k) { return old_data[match_pos - 1 - k]; },
          [&](size_t k) { return new_data[scan - 1 - k]; });
    }
    if (last_new + forward > scan - backward) {
      // The two extensions overlap: split where the bytes before the split
      // agree with the old alignment and those after it with the new one best.
      size_t overlap_start = scan - backward;
      size_t overlap = last_new + forward - overlap_start;
      int64_t score = 0, best = 0;
      size_t split = 0;
      for (size_t k = 0; k < overlap; k++) {
        size_t n = overlap_start + k;
        if (new_data[n] == old_data[last_old + (n - last_new)]) score++;
        if (new_data[n] == old_data[match_pos - (scan - n)]) score--;
        if (score > best) {
          best = score;
          split = k + 1;
        }
      }
      forward = overlap_start + split - last_new;
      backward -= split;
    }
    size_t next_new = scan - backward;
    segments->push_back(Segment{static_cast<uint32_t>(last_old), static_cast<uint32_t>(forward),
                                static_cast<uint32_t>(next_new - (last_new + forward))});
    last_new = next_new;
    last_old = scan < end ? match_pos - backward : last_old + forward;
    last_offset = static_cast<int64_t>(match_pos) - static_cast<int64_t>(scan);
    if (release_new && last_new >= released + kReleaseStep) {
      release_new(released, last_new);
      released = last_new;
    }
  }
}

}  // namespace

int qxdiff_compute(const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                   size_t new_size, const QxdiffOptions& options,
                   std::vector<ControlTriple>* triples, const QxdiffReleaseFn& release_new) {
  triples->clear();
  if (new_size > kQxdiffMaxNewSize) return kQxdiffTooLarge;
  // Each thread scans its own part of the new bytes; the parts only lose the
  // alignment carried across their borders.
  size_t parts = std::max(1, options.threads);
  if (new_size / parts < kMinPartSize) parts = std::max<size_t>(1, new_size / kMinPartSize);
  std::vector<SegmentList> segments(parts);
  {
    // The suffix array goes before the triples are built.
    SuffixIndex index;
    int rv = index.Build(old_data, old_size);
    if (rv != kQxdiffOk) return rv;
    std::vector<std::thread> workers;
    for (size_t p = 0; p < parts; p++) {
      size_t begin = new_size / parts * p,
             end = p + 1 == parts ? new_size : new_size / parts * (p + 1);
      auto scan = [&, p, begin, end]() {
        ScanRange(index, old_data, old_size, new_data, begin, end, release_new, &segments[p]);
      };
      if (p + 1 == parts) {
        scan();
      } else {
        workers.emplace_back(scan);
      }
    }
    for (std::thread& t : workers) t.join();
  }

  size_t count = 0;
  for (const SegmentList& part : segments) count += part.size();
  triples->reserve(count + 1);
  TripleSink sink(options, triples);
  bool have_previous = false;
  Segment previous{};
  for (SegmentList& part : segments) {
    for (; !part.empty(); part.pop_front()) {
      const Segment& s = part.front();
      if (have_previous) {
        sink.Emit(previous.add, previous.copy,
                  int64_t{s.old_start} - (int64_t{previous.old_start} + previous.add));
      }
      previous = s;
      have_previous = true;
    }
  }
  if (have_previous) sink.Emit(previous.add, previous.copy, 0);
  if (triples->empty()) sink.Emit(0, 0, 0);
  return kQxdiffOk;
}

int qxdiff_write_patch(FILE* out, const uint8_t* old_data, size_t old_size, const uint8_t* new_data,
                       size_t new_size, const std::vector<ControlTriple>& triples,
                       const QxdiffReleaseFn& release_new) {
  uint64_t control_length = uint64_t{triples.size()} * kControlTripleSize;
  uint64_t diff_length = 0, extra_length = 0;
  for (const ControlTriple& t : triples) {
    diff_length += t.add_length;
    extra_length += t.copy_length;
  }
  if (control_length > 0xFFFFFFFFu || diff_length > 0xFFFFFFFFu || extra_length > 0xFFFFFFFFu ||
      old_size > 0xFFFFFFFFu || new_size > 0xFFFFFFFFu) {
    return kQxdiffTooLarge;
  }
  PatchHeader header =
      make_patch_header(static_cast<uint32_t>(old_size), crc32_bzip2(old_data, old_size),
                        static_cast<uint32_t>(new_size), static_cast<uint32_t>(control_length),
                        static_cast<uint32_t>(diff_length), static_cast<uint32_t>(extra_length));
  unsigned char head[kPatchHeaderSize];
  encode_patch_header(header, head);
  if (!WriteAll(out, head, sizeof(head))) return kQxdiffWriteError;

  std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kWriteChunk]);
  if (!chunk) return kQxdiffNoMemory;
  size_t used = 0;
  auto flush = [&]() {
    bool ok = WriteAll(out, chunk.get(), used);
    used = 0;
    return ok;
  };
  for (const ControlTriple& t : triples) {
    if (used + kControlTripleSize > kWriteChunk && !flush()) return kQxdiffWriteError;
    encode_control_triple(t, chunk.get() + used);
    used += kControlTripleSize;
  }
  if (!flush()) return kQxdiffWriteError;

  // Difference block: replay the cursors. The triples came from these very
  // buffers, so every range lies inside them.
  size_t new_pos = 0, released = 0;
  int64_t old_pos = 0;
  for (const ControlTriple& t : triples) {
    for (size_t done = 0; done < t.add_length;) {
      size_t n = std::min<size_t>(t.add_length - done, kWriteChunk);
      const uint8_t* o = old_data + old_pos + done;
      const uint8_t* w = new_data + new_pos + done;
      for (size_t k = 0; k < n; k++) chunk[k] = static_cast<unsigned char>(w[k] - o[k]);
      used = n;
      if (!flush()) return kQxdiffWriteError;
      done += n;
      if (release_new && new_pos + done >= released + kReleaseStep) {
        release_new(released, new_pos + done);
        released = new_pos + done;
      }
    }
    new_pos += uint64_t{t.add_length} + t.copy_length;
    old_pos += int64_t{t.add_length} + t.seek_offset;
  }
  new_pos = 0;
  released = 0;
  for (const ControlTriple& t : triples) {
    new_pos += t.add_length;
    if (!WriteAll(out, new_data + new_pos, t.copy_length)) return kQxdiffWriteError;
    new_pos += t.copy_length;
    if (release_new && new_pos >= released + kReleaseStep) {
      release_new(released, new_pos);
      released = new_pos;
    }
  }
  return kQxdiffOk;
}

int qxdiff_files(const char* old_path, const char* new_path, const char* patch_path, int threads,
                 std::string* error) {
  QxdiffOptions options;
  options.threads = threads;
  MappedFile old_file, new_file;
  int rv = old_file.Open(old_path, kQxdiffMaxOldSize, error);
  if (rv != kQxdiffOk) return rv;
  rv = new_file.Open(new_path, kQxdiffMaxNewSize, error);
  if (rv != kQxdiffOk) return rv;
  // Old bytes are read all over, new ones in order: keep only a window of
  // the new file in memory beside the suffix array and the old file.
  old_file.Advise(MADV_WILLNEED);
  new_file.Advise(MADV_SEQUENTIAL);
  QxdiffReleaseFn release = [&new_file](size_t from, size_t to) { new_file.Release(from, to); };

  std::vector<ControlTriple> triples;
  rv = qxdiff_compute(old_file.data(), old_file.size(), new_file.data(), new_file.size(), options,
                      &triples, release);
  if (rv == kQxdiffNoMemory) {
    *error = std::string("not enough memory for the suffix array of ") + old_path;
    return rv;
  }
  if (rv != kQxdiffOk) {
    *error = std::string("inputs too large for the patch format: ") + old_path + ", " + new_path;
    return rv;
  }

  FILE* out = fopen(patch_path, "wb");
  if (out == nullptr) return ErrnoFailure(error, "cannot create", patch_path, kQxdiffWriteError);
  rv = qxdiff_write_patch(out, old_file.data(), old_file.size(), new_file.data(), new_file.size(),
                          triples, release);
  int saved = errno;
  if (fclose(out) != 0 && rv == kQxdiffOk) {
    saved = errno;
    rv = kQxdiffWriteError;
  }
  if (rv != kQxdiffOk) {
    unlink(patch_path);
    errno = saved;
    if (rv == kQxdiffTooLarge) {
      *error =
          std::string("the patch would exceed the format's 32-bit block lengths: ") + patch_path;
      return rv;
    }
    return ErrnoFailure(error, "cannot write", patch_path, rv);
  }
  return kQxdiffOk;
}

#include "archive/bz2_parallel.h"

#include <bzlib.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "archive/decoder_budget.h"
#include "base/error_codes.h"

namespace {

constexpr uint64_t kBlockMagic = 0x314159265359;
constexpr uint64_t kEndMagic = 0x177245385090;
constexpr uint64_t kMagicMask = (uint64_t{1} << 48) - 1;
constexpr int kMagicBits = 48;
constexpr int kCrcBits = 32;
constexpr int kHeaderBytes = 4;  // "BZh" and the block size digit

constexpr int kReadChunk = 1 << 16;
// A block of level 9 takes at most about 1 MB of stored bytes; a segment
// longer than this has lost a magic, and the single-threaded decoding judges.
constexpr size_t kMaxSegmentBytes = size_t{4} << 20;
// A block's output is kept in memory up to this size; a block that expands
// further through its run-length stage is decoded once more by the writer,
// streaming (see WriteJob).
constexpr size_t kOutputCap = size_t{2} << 20;
// Blocks in flight per thread: one being decoded, one waiting.
constexpr size_t kSlotsPerThread = 2;
constexpr int kStreamChunk = 1 << 18;

// Whether a 16-bit value occurs as two whole bytes inside one of the two
// magics at some bit offset: every magic in the data covers at least five
// whole bytes, so one of the four byte pairs starting there begins at a
// multiple of four, and the scan looks only at those.
class PairTable {
 public:
  constexpr PairTable() {
    for (uint64_t magic : {kBlockMagic, kEndMagic}) {
      for (int shift = 0; shift < 8; ++shift) {
        uint64_t word = magic << (16 - shift);  // bytes 0..7, big-endian
        int first = shift == 0 ? 0 : 1;
        for (int j = first; j + 1 <= 5; ++j) {
          unsigned pair = static_cast<unsigned>((word >> (48 - 8 * j)) & 0xffff);
          bits_[pair >> 6] |= uint64_t{1} << (pair & 63);
        }
      }
    }
  }
  constexpr bool Has(unsigned pair) const { return (bits_[pair >> 6] >> (pair & 63)) & 1; }

 private:
  uint64_t bits_[1024] = {};
};

constexpr PairTable kPairs;

// Anonymous pages of a fixed size, touched only as far as they are used and
// given back whole when the decoding ends, so that the memory of one decoding
// does not stay behind in the heap of some thread.
class Pages {
 public:
  explicit Pages(size_t size) : size_(size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
  }
  ~Pages() {
    if (data_) munmap(data_, size_);
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  uint8_t* get() const { return data_; }
  char* chars() const { return reinterpret_cast<char*>(data_); }
  size_t size() const { return size_; }

 private:
  uint8_t* data_;
  size_t size_;
};

// The memory of a worker's bzip2 states: the large array of a state (about
// 3.6 MB at level 9) in pages kept from one block to the next and given back
// when the worker ends, the rest from the heap. The calling thread's states
// come from the heap, where that thread's earlier decoding left room for them.
class StateMemory {
 public:
  StateMemory() = default;
  StateMemory(const StateMemory&) = delete;
  StateMemory& operator=(const StateMemory&) = delete;
  void Attach(bz_stream* strm) {
    strm->bzalloc = Alloc;
    strm->bzfree = Free;
    strm->opaque = this;
  }

 private:
  static constexpr size_t kLarge = size_t{1} << 20;
  static void* Alloc(void* self, int n, int m) {
    auto* memory = static_cast<StateMemory*>(self);
    const size_t size = static_cast<size_t>(n) * static_cast<size_t>(m);
    if (size < kLarge || memory->large_in_use_) return malloc(size);
    if (!memory->large_ || memory->large_->size() != size) {
      memory->large_.reset(new (std::nothrow) Pages(size));
      if (!memory->large_ || !memory->large_->get()) {
        memory->large_.reset();
        return nullptr;
      }
    }
    memory->large_in_use_ = true;
    return memory->large_->get();
  }
  static void Free(void* self, void* p) {
    auto* memory = static_cast<StateMemory*>(self);
    if (memory->large_ && p == memory->large_->get()) {
      memory->large_in_use_ = false;
    } else {
      free(p);
    }
  }
  std::unique_ptr<Pages> large_;
  bool large_in_use_ = false;
};

// The longest stream a job can hold: a segment (the window's bytes at most),
// the header and the end's magic, CRC and padding.
constexpr size_t kMaxJobInput = kMaxSegmentBytes + 2 * kReadChunk + 32;

// Appends bits, most significant first, to a buffer with room for them.
class BitWriter {
 public:
  BitWriter(uint8_t* out, size_t* length) : out_(out), length_(length) {}
  void Put(uint64_t value, int bits) {  // bits <= 56
    acc_ = (acc_ << bits) | (value & ((uint64_t{1} << bits) - 1));
    count_ += bits;
    while (count_ >= 8) {
      count_ -= 8;
      out_[(*length_)++] = static_cast<uint8_t>(acc_ >> count_);
    }
  }
  void Flush() {
    if (count_ > 0) out_[(*length_)++] = static_cast<uint8_t>(acc_ << (8 - count_));
    count_ = 0;
  }

 private:
  uint8_t* out_;
  size_t* length_;
  uint64_t acc_ = 0;
  int count_ = 0;
};

enum class JobState { kFree, kQueued, kDecoding, kDone, kOverflow, kFailed };

// One candidate block, as a stream of its own.
struct Job {
  Pages in{kMaxJobInput};
  size_t in_len = 0;
  Pages out{kOutputCap};
  size_t out_len = 0;
  uint64_t total = 0;  // the block's whole output, beyond the cap too
  uint32_t crc = 0;    // the block's CRC, combined into the stream's
  JobState state = JobState::kFree;
};

// Decodes a job's stream, keeping the first kOutputCap bytes of its output
// and running through the rest only to let libbz2 check the CRC. Done when
// the block ends exactly where the segment did, with its CRC.
JobState DecodeJob(Job& job, StateMemory* memory) {
  if (!job.out.get()) return JobState::kFailed;
  std::unique_ptr<char[]> scratch;
  bz_stream strm;
  memset(&strm, 0, sizeof(strm));
  if (memory) memory->Attach(&strm);
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return JobState::kFailed;
  strm.next_in = job.in.chars();
  strm.avail_in = static_cast<unsigned>(job.in_len);
  job.out_len = 0;
  job.total = 0;
  JobState result = JobState::kFailed;
  for (;;) {
    const bool keep = job.out_len < kOutputCap;
    if (!keep && !scratch) {
      scratch.reset(new (std::nothrow) char[kStreamChunk]);
      if (!scratch) break;
    }
    char* space = keep ? job.out.chars() + job.out_len : scratch.get();
    size_t room = keep ? kOutputCap - job.out_len : kStreamChunk;
    strm.next_out = space;
    strm.avail_out = static_cast<unsigned>(room);
    int status = BZ2_bzDecompress(&strm);
    if (status != BZ_OK && status != BZ_STREAM_END) break;
    size_t produced = room - strm.avail_out;
    if (keep) job.out_len += produced;
    job.total += produced;
    if (status == BZ_STREAM_END) {
      // A block that ended early and met a magic-like pattern made of its
      // own tail would consume fewer bytes.
      if (strm.total_in_lo32 == job.in_len && strm.total_in_hi32 == 0) {
        result = job.total > kOutputCap ? JobState::kOverflow : JobState::kDone;
      }
      break;
    }
    if (produced == 0 && strm.avail_in == 0) break;  // cut short
  }
  BZ2_bzDecompressEnd(&strm);
  return result;
}

class ParallelDecoder {
 public:
  ParallelDecoder(StoredBytesReader read, void* context, uint32_t length, FILE* fp)
      : read_(read), context_(context), length_(length), fp_(fp) {}
  ~ParallelDecoder() { StopWorkers(); }

  ParallelDecodeResult Run(const std::atomic<bool>* cancel, int cancelled_code);

 private:
  // The scanner: stored bytes from byte `base_` of the stream are in
  // `window_`; candidates are bit positions of a magic.
  bool ReadMore();
  uint64_t Load64(uint64_t byte) const;
  uint64_t Bits(uint64_t bit, int count) const {
    return Load64(bit / 8) << (bit % 8) >> (64 - count);
  }
  bool Available(uint64_t bit_end) const { return bit_end <= (base_ + window_len_) * 8; }
  bool NeedBits(uint64_t bit_end);
  void Verify(uint64_t q);
  bool NextCandidate(uint64_t* bit, bool* is_end);
  // Fills a free job with the segment from the current candidate to the next;
  // false when the stream cannot be cut (the caller falls back).
  bool MakeJob(Job& job, bool* last);

  int WriteJob(Job& job, uint64_t* written);
  void SpawnWorker();
  void StopWorkers();
  static void* WorkerMain(void* self);
  void Work();

  StoredBytesReader read_;
  void* context_;
  uint32_t length_;
  FILE* fp_;

  Pages window_{kMaxSegmentBytes + 2 * kReadChunk};
  size_t window_len_ = 0;
  uint64_t base_ = 0;
  bool read_failed_ = false;
  uint64_t scan_q_ = 0;  // next byte pair to look at, a multiple of four
  int64_t last_candidate_ = -1;
  std::vector<std::pair<uint64_t, bool>> pending_;  // found, not yet taken
  size_t pending_next_ = 0;
  uint64_t segment_start_ = 0;  // bit position of the current block's magic
  char level_ = 0;
  uint32_t stream_crc_ = 0;

  std::unique_ptr<Job[]> jobs_;
  size_t job_count_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t head_ = 0;       // oldest job not yet written
  uint64_t tail_ = 0;       // next job to fill
  uint64_t next_take_ = 0;  // next job to decode
  bool stop_ = false;
  std::vector<pthread_t> workers_;
  int max_workers_ = 0;
};

bool ParallelDecoder::ReadMore() {
  uint64_t position = base_ + window_len_;
  if (read_failed_ || position >= length_) return false;
  if (!window_.get() || window_len_ + kReadChunk > window_.size()) return false;
  int n = read_(context_, static_cast<uint32_t>(position), window_.get() + window_len_, kReadChunk);
  if (n <= 0) {
    read_failed_ = true;
    return false;
  }
  window_len_ += static_cast<size_t>(n);
  return true;
}

uint64_t ParallelDecoder::Load64(uint64_t byte) const {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) {
    uint64_t k = byte + i;
    uint8_t b = k >= base_ && k - base_ < window_len_ ? window_.get()[k - base_] : 0;
    v = v << 8 | b;
  }
  return v;
}

bool ParallelDecoder::NeedBits(uint64_t bit_end) {
  while (!Available(bit_end)) {
    if (window_len_ > kMaxSegmentBytes || !ReadMore()) return false;
  }
  return true;
}

// Looks at every bit position whose magic could have put the byte pair at
// `q` there, and queues those that hold one, in order, each once.
void ParallelDecoder::Verify(uint64_t q) {
  const uint64_t end_bit = (base_ + window_len_) * 8;
  for (uint64_t b = q >= 5 ? q - 5 : 0; b <= q; ++b) {
    if (b < base_) continue;
    const uint64_t word = Load64(b);
    for (int s = 0; s < 8; ++s) {
      const uint64_t bit = b * 8 + s;
      if (static_cast<int64_t>(bit) <= last_candidate_ || bit + kMagicBits > end_bit) continue;
      const uint64_t m = (word >> (16 - s)) & kMagicMask;
      if (m == kBlockMagic || m == kEndMagic) {
        pending_.emplace_back(bit, m == kEndMagic);
        last_candidate_ = static_cast<int64_t>(bit);
      }
    }
  }
}

bool ParallelDecoder::NextCandidate(uint64_t* bit, bool* is_end) {
  for (;;) {
    if (pending_next_ < pending_.size()) {
      *bit = pending_[pending_next_].first;
      *is_end = pending_[pending_next_].second;
      if (++pending_next_ == pending_.size()) pending_.clear(), pending_next_ = 0;
      return true;
    }
    // A pair is looked at once the eight bytes from it are in (or the data
    // ends), which covers every magic its hit stands for.
    while (base_ + window_len_ < scan_q_ + 8) {
      if (window_len_ > kMaxSegmentBytes || !ReadMore()) break;
    }
    const uint64_t have = base_ + window_len_;
    if (scan_q_ + 2 > have) return false;
    const bool at_end = have < scan_q_ + 8;
    const uint8_t* data = window_.get();
    uint64_t q = scan_q_;
    const uint64_t stop = at_end ? have - 2 : have - 8;
    for (; q <= stop && pending_.empty(); q += 4) {
      if (kPairs.Has(unsigned{data[q - base_]} << 8 | data[q - base_ + 1])) Verify(q);
    }
    scan_q_ = q;
    if (pending_.empty() && at_end) return false;
  }
}

bool ParallelDecoder::MakeJob(Job& job, bool* last) {
  uint64_t next;
  bool is_end;
  if (!NextCandidate(&next, &is_end)) return false;
  const uint64_t start = segment_start_;
  const uint64_t bits = next - start;
  if (bits < kMagicBits + kCrcBits) return false;
  job.crc = static_cast<uint32_t>(Bits(start + kMagicBits, kCrcBits));
  if (!job.in.get() || bits / 8 + 32 > job.in.size()) return false;
  uint8_t* in = job.in.get();
  memcpy(in, "BZh", 3);
  in[3] = static_cast<uint8_t>(level_);
  // The block's bits, moved to the byte boundary after the header.
  const uint8_t* src = window_.get() + (start / 8 - base_);
  const int shift = start % 8;
  const size_t whole = bits / 8;
  if (shift == 0) {
    memcpy(in + kHeaderBytes, src, whole);
  } else {
    for (size_t i = 0; i < whole; ++i) {
      in[kHeaderBytes + i] = static_cast<uint8_t>(src[i] << shift | src[i + 1] >> (8 - shift));
    }
  }
  job.in_len = kHeaderBytes + whole;
  BitWriter writer(in, &job.in_len);
  const int rest = bits % 8;
  if (rest) writer.Put(Bits(start + whole * 8, rest), rest);
  // A one-block stream's combined CRC is its block's CRC.
  writer.Put(kEndMagic, kMagicBits);
  writer.Put(job.crc, kCrcBits);
  writer.Flush();

  *last = is_end;
  if (is_end) {
    if (!NeedBits(next + kMagicBits + kCrcBits)) return false;
    stream_crc_ = static_cast<uint32_t>(Bits(next + kMagicBits, kCrcBits));
  }
  // The bytes before the next block's first are done with.
  const uint64_t keep_from = next / 8;
  window_len_ -= keep_from - base_;
  memmove(window_.get(), window_.get() + (keep_from - base_), window_len_);
  base_ = keep_from;
  segment_start_ = next;
  return true;
}

// Writes a decoded job and adds what it wrote to `written`: 0, kWriteError,
// or kDecompressError when decoding it again failed (no memory), which the
// single-threaded decoding judges. A block beyond the cap is decoded again
// here, streaming: libbz2 is deterministic, so what it writes is the output
// the worker checked.
int ParallelDecoder::WriteJob(Job& job, uint64_t* written) {
  if (job.out_len && fwrite(job.out.get(), job.out_len, 1, fp_) != 1) return kWriteError;
  *written += job.out_len;
  if (job.state != JobState::kOverflow) return kOk;
  bz_stream strm;
  memset(&strm, 0, sizeof(strm));
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return kDecompressError;
  strm.next_in = job.in.chars();
  strm.avail_in = static_cast<unsigned>(job.in_len);
  char* buf = job.out.chars();  // written already: reused as the chunk buffer
  uint64_t skip = job.out_len, done = 0;
  int rv = kDecompressError;
  for (;;) {
    strm.next_out = buf;
    strm.avail_out = kStreamChunk;
    int status = BZ2_bzDecompress(&strm);
    if (status != BZ_OK && status != BZ_STREAM_END) break;
    uint64_t produced = kStreamChunk - strm.avail_out;
    uint64_t drop = produced < skip ? produced : skip;
    skip -= drop;
    if (produced > drop && fwrite(buf + drop, produced - drop, 1, fp_) != 1) {
      rv = kWriteError;
      break;
    }
    *written += produced - drop;
    done += produced;
    if (status == BZ_STREAM_END) {
      if (done == job.total) rv = kOk;
      break;
    }
    if (produced == 0 && strm.avail_in == 0) break;
  }
  BZ2_bzDecompressEnd(&strm);
  return rv;
}

void ParallelDecoder::SpawnWorker() {
  if (static_cast<int>(workers_.size()) >= max_workers_ || !gDecoderBudget.TryAcquire()) return;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, WorkerMain, this) != 0) {
    gDecoderBudget.Release();
    return;
  }
  workers_.push_back(thread);
}

void ParallelDecoder::StopWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (pthread_t thread : workers_) {
    pthread_join(thread, nullptr);
    gDecoderBudget.Release();
  }
  workers_.clear();
}

void* ParallelDecoder::WorkerMain(void* self) {
  static_cast<ParallelDecoder*>(self)->Work();
  return nullptr;
}

void ParallelDecoder::Work() {
  StateMemory memory;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || next_take_ < tail_; });
    if (stop_) return;
    Job& job = jobs_[next_take_++ % job_count_];
    job.state = JobState::kDecoding;
    lock.unlock();
    JobState state = DecodeJob(job, &memory);
    lock.lock();
    job.state = state;
    changed_.notify_all();
  }
}

ParallelDecodeResult ParallelDecoder::Run(const std::atomic<bool>* cancel, int cancelled_code) {
  ParallelDecodeResult result;
  // Only the stream's own header, followed at once by a block, is cut here.
  if (!NeedBits(kHeaderBytes * 8 + kMagicBits)) return result;
  const uint8_t* header = window_.get();
  if (memcmp(header, "BZh", 3) != 0 || header[3] < '1' || header[3] > '9' ||
      Bits(kHeaderBytes * 8, kMagicBits) != kBlockMagic) {
    return result;
  }
  level_ = static_cast<char>(header[3]);
  segment_start_ = kHeaderBytes * 8;
  last_candidate_ = static_cast<int64_t>(segment_start_);
  scan_q_ = kHeaderBytes + 4;

  max_workers_ = gDecoderBudget.capacity() - 1;
  job_count_ = kSlotsPerThread * max_workers_ + 1;
  jobs_.reset(new (std::nothrow) Job[job_count_]);
  if (!jobs_) return result;
  uint32_t combined = 0;
  bool scanned = false;
  for (;;) {
    if (cancel && cancel->load(std::memory_order_relaxed)) {
      result.fall_back = false;
      result.code = cancelled_code;
      return result;
    }
    // A thread the budget has freed since joins in; then every thread gets a
    // block to decode and one to go on with (cutting a segment costs little
    // beside decoding it). Alone, this thread has one block in flight.
    SpawnWorker();
    const size_t in_flight = std::min(job_count_, kSlotsPerThread * workers_.size() + 1);
    while (!scanned && tail_ - head_ < in_flight) {
      Job& job = jobs_[tail_ % job_count_];
      if (!MakeJob(job, &scanned)) return result;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        job.state = JobState::kQueued;
        ++tail_;
      }
      changed_.notify_one();
    }
    if (head_ == tail_) break;
    Job& job = jobs_[head_ % job_count_];
    std::unique_lock<std::mutex> lock(mutex_);
    // While the next block to write is not ready, this thread decodes
    // whichever block no thread has taken yet, that one first.
    while (job.state == JobState::kQueued || job.state == JobState::kDecoding) {
      if (next_take_ == tail_) {
        changed_.wait(lock);
        continue;
      }
      Job& other = jobs_[next_take_++ % job_count_];
      other.state = JobState::kDecoding;
      lock.unlock();
      JobState state = DecodeJob(other, nullptr);
      lock.lock();
      other.state = state;
    }
    lock.unlock();
    if (job.state == JobState::kFailed) return result;
    const int written = WriteJob(job, &result.written);
    if (written != kOk) {
      result.fall_back = written != kWriteError;
      result.code = written;
      return result;
    }
    combined = (combined << 1 | combined >> 31) ^ job.crc;
    lock.lock();
    job.state = JobState::kFree;
    ++head_;
  }
  if (combined != stream_crc_) return result;
  result.fall_back = false;
  result.code = kOk;
  return result;
}

}  // namespace

ParallelDecodeResult DecodeBzip2Parallel(StoredBytesReader read, void* context, uint32_t length,
                                         FILE* fp, const std::atomic<bool>* cancel,
                                         int cancelled_code) {
  std::unique_ptr<ParallelDecoder> decoder(new (std::nothrow)
                                               ParallelDecoder(read, context, length, fp));
  if (!decoder) return ParallelDecodeResult();
  return decoder->Run(cancel, cancelled_code);
}

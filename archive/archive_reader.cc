#include "archive/archive_reader.h"

#include <bzlib.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "archive/bz2_parallel.h"
#include "archive/decoder_budget.h"
#include "archive/qex_format.h"
#include "base/error_codes.h"
#include "base/work_meter.h"

namespace {

constexpr int kCancelled = ArchiveDecoder::kCancelled;

constexpr int kDefaultBufferSize = 262144;
constexpr int kFallbackBufferSize = 1024;
constexpr size_t kChannelListSize = 512;

// A work buffer of a reader or decoder. A size reduced after a failed
// allocation stays reduced for the owner's lifetime.
struct WorkBuffer {
  std::unique_ptr<char[]> data;
  int size = kDefaultBufferSize;

  bool Allocate() {
    if (data) return true;
    data.reset(new (std::nothrow) char[size]);
    if (!data) {
      size = kFallbackBufferSize;
      data.reset(new (std::nothrow) char[size]);
    }
    return data != nullptr;
  }
};

// Reads stored bytes of an entry: the shape of qex_read_entry.
using StoredReader = int (*)(QexArchive* archive, const QexEntry* entry, uint32_t position,
                             void* buffer, int buffer_size);

// qex_read_entry without moving the archive stream: a positioned read on its
// descriptor, so that it can run beside the reader's own seeks and reads.
int ReadStoredAt(QexArchive* archive, const QexEntry* entry, uint32_t position, void* buffer,
                 int buffer_size) {
  if (position == entry->length) return 0;
  if (position > entry->length || buffer_size <= 0) return -1;
  uint32_t n = entry->length - position;
  if (n > static_cast<uint32_t>(buffer_size)) n = static_cast<uint32_t>(buffer_size);
  ssize_t got;
  do {
    got = pread(fileno(archive->fp), buffer, n, static_cast<off_t>(entry->offset) + position);
  } while (got < 0 && errno == EINTR);
  return static_cast<int>(got);
}

// The extraction shared by the reader and the decoders: large entries on
// several threads, the rest (and whatever the parallel decoding leaves to it)
// by the one loop below. A set `cancel` stops it between two decompression
// calls with kCancelled.
int Decompress(QexArchive* archive, QexEntry* entry, FILE* fp, WorkBuffer& input,
               WorkBuffer& output, uint32_t parallel_min_length, StoredReader read_stored,
               const std::atomic<bool>* cancel, WorkMeter* meter);
// The single-threaded loop; the first `skip` bytes of output are not written
// (the parallel decoding wrote them).
int DecompressOnOneThread(QexArchive* archive, QexEntry* entry, FILE* fp, WorkBuffer& input,
                          WorkBuffer& output, StoredReader read_stored,
                          const std::atomic<bool>* cancel, WorkMeter* meter, uint64_t skip);

// Creates `dest` (relative to `dir`; `flags` added to the open's) with `mode`
// and decompresses into it.
int DecompressToNewFile(QexArchive* archive, QexEntry* entry, int dir, const char* dest, int flags,
                        unsigned mode, WorkBuffer& input, WorkBuffer& output,
                        uint32_t parallel_min_length, StoredReader read_stored,
                        const std::atomic<bool>* cancel, WorkMeter* meter);

}  // namespace

// Each reader and each decoder has a pair: a decoder extracts on another
// thread while its reader does.
struct ArchiveReader::WorkBuffers {
  WorkBuffer input;
  WorkBuffer output;

  bool Allocate() { return input.Allocate() && output.Allocate(); }
};

ArchiveReader::ArchiveReader() = default;

ArchiveReader::~ArchiveReader() { Close(); }

int ArchiveReader::Open(const char* path) {
  if (archive_) Close();
  if (!AllocateBuffers()) return kArchiveNoMemory;
  archive_ = qex_open(path);
  return archive_ ? kOk : kReadError;
}

int ArchiveReader::OpenDescriptor(int fd) {
  if (archive_) Close();
  if (!AllocateBuffers()) return kArchiveNoMemory;
  archive_ = qex_open_fd(fd);
  return archive_ ? kOk : kReadError;
}

int ArchiveReader::fd() const { return archive_ ? fileno(archive_->fp) : -1; }

void ArchiveReader::Close() {
  if (archive_) {
    qex_close(archive_);
    archive_ = nullptr;
  }
  if (buffers_) {
    buffers_->input.data.reset();
    buffers_->output.data.reset();
  }
}

bool ArchiveReader::AllocateBuffers() {
  if (!buffers_) buffers_.reset(new (std::nothrow) WorkBuffers);
  return buffers_ && buffers_->Allocate();
}

int ArchiveReader::ExtractToFile(const char* name, const char* dest) {
  return ExtractToFileAt(name, AT_FDCWD, dest, 0);
}

int ArchiveReader::ExtractToFileAt(const char* name, int dir, const char* dest, int flags,
                                   WorkMeter* meter) {
  QexEntry* entry = qex_find_entry(archive_, name);
  if (!entry) return kReadError;
  if (!buffers_ || !buffers_->input.data || !buffers_->output.data) return kReadError;
  return DecompressToNewFile(archive_, entry, dir, dest, flags, entry->flags & kQexPermissionMask,
                             buffers_->input, buffers_->output, parallel_min_length_,
                             qex_read_entry, nullptr, meter);
}

bool ArchiveReader::HasEntry(const char* name) {
  return archive_ && qex_find_entry(archive_, name) != nullptr;
}

int64_t ArchiveReader::StoredLength(const char* name) {
  QexEntry* entry = archive_ ? qex_find_entry(archive_, name) : nullptr;
  return entry ? entry->length : -1;
}

int ArchiveReader::ExtractToStream(const char* name, FILE* fp, WorkMeter* meter) {
  QexEntry* entry = qex_find_entry(archive_, name);
  if (!entry) return kReadError;
  return ExtractEntry(entry, fp, meter);
}

int ArchiveReader::ExtractEntry(QexEntry* entry, FILE* fp, WorkMeter* meter) {
  if (!archive_ || !buffers_ || !buffers_->input.data || !buffers_->output.data) {
    return kReadError;
  }
  return Decompress(archive_, entry, fp, buffers_->input, buffers_->output, parallel_min_length_,
                    qex_read_entry, nullptr, meter);
}

ArchiveDecoder::ArchiveDecoder(const ArchiveReader* reader) : reader_(reader) {}

ArchiveDecoder::~ArchiveDecoder() = default;

int ArchiveDecoder::ExtractToFile(const char* name, const char* dest, int mode,
                                  const std::atomic<bool>* cancel) {
  return ExtractToFileAt(name, AT_FDCWD, dest, 0, mode, cancel, nullptr);
}

int ArchiveDecoder::ExtractToFileAt(const char* name, int dir, const char* dest, int flags,
                                    int mode, const std::atomic<bool>* cancel, WorkMeter* meter) {
  QexArchive* archive = reader_->archive_;
  QexEntry* entry = qex_find_entry(archive, name);
  if (!entry) return kReadError;
  if (!buffers_) buffers_.reset(new (std::nothrow) ArchiveReader::WorkBuffers);
  if (!buffers_ || !buffers_->Allocate()) return kArchiveNoMemory;
  const unsigned file_mode = mode < 0 ? entry->flags & kQexPermissionMask : mode;
  return DecompressToNewFile(archive, entry, dir, dest, flags, file_mode, buffers_->input,
                             buffers_->output, reader_->parallel_min_length_, ReadStoredAt, cancel,
                             meter);
}

namespace {

int DecompressToNewFile(QexArchive* archive, QexEntry* entry, int dir, const char* dest, int flags,
                        unsigned mode, WorkBuffer& input, WorkBuffer& output,
                        uint32_t parallel_min_length, StoredReader read_stored,
                        const std::atomic<bool>* cancel, WorkMeter* meter) {
  int fd = openat(dir, dest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | flags, mode);
  if (fd < 0) return kWriteError;
  FILE* fp = fdopen(fd, "wb");
  if (!fp) {
    close(fd);
    return kWriteError;
  }
  int rv = Decompress(archive, entry, fp, input, output, parallel_min_length, read_stored, cancel,
                      meter);
  // The last buffered bytes reach the file only here; a failed close leaves a
  // short file that must not pass for a complete one.
  if (fclose(fp) != 0 && rv == kOk) rv = kWriteError;
  return rv;
}

struct StoredSource {
  QexArchive* archive;
  QexEntry* entry;
  StoredReader read;
  WorkMeter* meter;
};

int ReadSource(void* context, uint32_t position, void* buffer, int size) {
  auto* source = static_cast<StoredSource*>(context);
  int n = source->read(source->archive, source->entry, position, buffer, size);
  if (n > 0 && source->meter) source->meter->Advance(static_cast<uint64_t>(n));
  return n;
}

int Decompress(QexArchive* archive, QexEntry* entry, FILE* fp, WorkBuffer& input,
               WorkBuffer& output, uint32_t parallel_min_length, StoredReader read_stored,
               const std::atomic<bool>* cancel, WorkMeter* meter) {
  uint64_t skip = 0;
  if (entry->length != 0 && entry->length >= parallel_min_length && gDecoderBudget.capacity() > 1) {
    StoredSource source = {archive, entry, read_stored, meter};
    ParallelDecodeResult parallel =
        DecodeBzip2Parallel(ReadSource, &source, entry->length, fp, cancel, kCancelled);
    if (!parallel.fall_back) return parallel.code;
    skip = parallel.written;
  }
  // Bytes the parallel decoding read are not counted again.
  return DecompressOnOneThread(archive, entry, fp, input, output, read_stored, cancel,
                               skip == 0 ? meter : nullptr, skip);
}

int DecompressOnOneThread(QexArchive* archive, QexEntry* entry, FILE* fp, WorkBuffer& input,
                          WorkBuffer& output, StoredReader read_stored,
                          const std::atomic<bool>* cancel, WorkMeter* meter, uint64_t skip) {
  bz_stream strm;
  memset(&strm, 0, sizeof(strm));
  // Out of memory is no fault of the data: it is reported as such.
  int init = BZ2_bzDecompressInit(&strm, 0, 0);
  if (init != BZ_OK) return init == BZ_MEM_ERROR ? kArchiveNoMemory : kDecompressError;

  char* in = input.data.get();
  char* out = output.data.get();
  uint32_t position = 0;
  int rv;
  for (;;) {
    if (entry->length == 0) {
      rv = kEmptyError;
      break;
    }
    if (cancel && cancel->load(std::memory_order_relaxed)) {
      rv = kCancelled;
      break;
    }
    // Refill only when the decompressor has consumed everything; it may hold
    // input between calls.
    if (position < entry->length && strm.avail_in == 0) {
      int n = read_stored(archive, entry, position, in, input.size);
      if (n <= 0) {
        rv = kReadError;
        break;
      }
      position += static_cast<uint32_t>(n);
      if (meter) meter->Advance(static_cast<uint64_t>(n));
      strm.next_in = in;
      strm.avail_in = static_cast<unsigned>(n);
    }
    strm.next_out = out;
    strm.avail_out = static_cast<unsigned>(output.size);
    int status = BZ2_bzDecompress(&strm);
    // What came out before a failure is written too, so that the output up
    // to a damaged block does not depend on how the calls cut the stream.
    size_t produced = static_cast<size_t>(output.size) - strm.avail_out;
    const size_t skipped = produced < skip ? produced : static_cast<size_t>(skip);
    skip -= skipped;
    if (produced > skipped && fwrite(out + skipped, produced - skipped, 1, fp) != 1) {
      rv = kWriteError;
      break;
    }
    if (status != BZ_OK && status != BZ_STREAM_END) {
      rv = status == BZ_MEM_ERROR ? kArchiveNoMemory : kDecompressError;
      break;
    }
    if (status == BZ_STREAM_END) {
      rv = kOk;
      break;
    }
    // Every stored byte is consumed and nothing came out: the stream was cut
    // short and its end can never arrive.
    if (produced == 0 && strm.avail_in == 0 && position >= entry->length) {
      rv = kDecompressError;
      break;
    }
  }
  BZ2_bzDecompressEnd(&strm);
  return rv;
}

}  // namespace

int ArchiveReader::CheckArchiveOpen() { return archive_ ? kOk : kArchiveNotOpen; }

int ArchiveReader::CheckProductInformation(const char* channels, const char* app_version) {
  if (!archive_) return kArchiveNotOpen;
  ProductInfo info;
  if (qex_read_product_info(archive_, &info) != 0) return kProductInfoError;

  if (channels && channels[0]) {
    char list[kChannelListSize] = {};
    strncpy(list, channels, sizeof(list) - 1);
    bool accepted = false;
    char* save = nullptr;
    for (char* tok = strtok_r(list, " ,\t", &save); tok; tok = strtok_r(nullptr, " ,\t", &save)) {
      if (strcmp(tok, info.channel_id) == 0) {
        accepted = true;
        break;
      }
    }
    if (!accepted) {
      qex_free_product_info(&info);
      return kChannelError;
    }
  }
  // Without a known application version only the channel is checked.
  int cmp = app_version ? compare_versions(app_version, info.product_version) : 0;
  qex_free_product_info(&info);
  return cmp == 1 ? kVersionError : kOk;
}

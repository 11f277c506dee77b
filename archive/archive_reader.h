// The update run's access to the update archive: a reader that extracts
// bzip2-compressed entries by name, with work buffers of its own.
#ifndef UPDATER_ARCHIVE_ARCHIVE_READER_H_
#define UPDATER_ARCHIVE_ARCHIVE_READER_H_

#include <atomic>
#include <cstdio>
#include <memory>

#include "archive/qex.h"

class WorkMeter;

// Stored lengths from this one up are decoded on several threads (where the
// decoder budget holds more than one); shorter ones would not pay for the
// threads.
constexpr uint32_t kParallelDecodeMinLength = uint32_t{2} << 20;

class ArchiveReader {
 public:
  ArchiveReader();
  // Closes the archive.
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // 0, 6 (cannot open / malformed) or 11 (no memory for the work buffers).
  int Open(const char* path);
  // The same for the archive open for reading on `fd`, which stays the
  // caller's and must stay open while this one is: every read of the reader
  // and of its decoders goes to the same open file.
  int OpenDescriptor(int fd);
  // The descriptor the open archive is read through (a duplicate of the one
  // given to OpenDescriptor, the same open file); -1 when none is open.
  int fd() const;
  // Closes the archive and frees the work buffers.
  void Close();
  // Creates `dest` (mode = the entry's permission bits, flags & 0777; the
  // umask applies) and decompresses the entry into it. 0; 6 when no archive is
  // open, no entry has that name (nothing is created) or its stored bytes
  // cannot be read; 7 when `dest` cannot be created or written; 39 for a
  // corrupt or cut-off bzip2 stream; 11 when the decompressor has no memory;
  // 40 for an entry of stored length 0. A
  // file that fails part-way stays.
  int ExtractToFile(const char* name, const char* dest);
  // The same with `dest` relative to the open directory `dir` and `flags`
  // (O_EXCL, O_NOFOLLOW) added to the flags of the file's creation. A given
  // `meter` is told of the stored bytes as they are decoded (on this thread
  // or the decoding threads); they add up to the entry's stored length when
  // it is decoded whole.
  int ExtractToFileAt(const char* name, int dir, const char* dest, int flags,
                      WorkMeter* meter = nullptr);
  // The stored length of the entry of that name; -1 when there is none.
  int64_t StoredLength(const char* name);
  // Whether the open archive has an entry of that name.
  bool HasEntry(const char* name);
  // Decompresses the entry into a stream the caller owns (neither flushed nor
  // closed). Codes as for ExtractToFile; `meter` as for ExtractToFileAt.
  int ExtractToStream(const char* name, FILE* fp, WorkMeter* meter = nullptr);
  // Decompresses `entry`, which must come from the open archive, into `fp`;
  // ends at the first end of a bzip2 stream, ignoring any bytes after it.
  // Everything decoded before a failure is written. Entries from
  // parallel_decode_min_length() up are decoded on every free core of the
  // decoder budget, with the same bytes and codes.
  int ExtractEntry(QexEntry* entry, FILE* fp, WorkMeter* meter = nullptr);
  // 20 when no archive is open, else 0.
  int CheckArchiveOpen();
  // 0, 20, 21, 22 or 23. `channels` is a list of accepted channel names
  // (null or empty: any); a null `app_version` skips the downgrade check.
  int CheckProductInformation(const char* channels, const char* app_version);

  // Entries stored in this many bytes or more are decoded on several threads
  // (kParallelDecodeMinLength unless set; also for the reader's decoders).
  uint32_t parallel_decode_min_length() const { return parallel_min_length_; }
  void set_parallel_decode_min_length(uint32_t length) { parallel_min_length_ = length; }

 private:
  friend class ArchiveDecoder;
  struct WorkBuffers;
  bool AllocateBuffers();
  QexArchive* archive_ = nullptr;
  // Allocated by Open, freed by Close; one extraction at a time uses them.
  std::unique_ptr<WorkBuffers> buffers_;
  uint32_t parallel_min_length_ = kParallelDecodeMinLength;
};

// A further decoder for the entries of a reader's open archive, for another
// thread than the one that uses the reader: it has work buffers of its own and
// reads the stored bytes with positioned reads, which leave the archive
// stream's position alone, so that it can extract while the reader does. The
// reader must stay open (not closed, not reopened) until every call has
// returned. One decoder serves one thread at a time.
class ArchiveDecoder {
 public:
  // Result of an extraction stopped by `cancel`.
  static constexpr int kCancelled = -1;

  explicit ArchiveDecoder(const ArchiveReader* reader);
  ~ArchiveDecoder();
  ArchiveDecoder(const ArchiveDecoder&) = delete;
  ArchiveDecoder& operator=(const ArchiveDecoder&) = delete;

  // As ArchiveReader::ExtractToFile (the same file and codes), and 11 when
  // the work buffers cannot be allocated (on the first call; they are kept
  // until the decoder is destroyed). The file is created with `mode` (the
  // umask applies), or with the entry's permission bits when `mode` is -1.
  // When `cancel` is given and becomes true, the extraction stops between two
  // decompression steps with kCancelled, leaving the file part-way.
  int ExtractToFile(const char* name, const char* dest, int mode, const std::atomic<bool>* cancel);
  // The same with `dest` relative to the open directory `dir` and `flags`
  // (O_EXCL, O_NOFOLLOW, O_NONBLOCK) added to the flags of its creation.
  int ExtractToFileAt(const char* name, int dir, const char* dest, int flags, int mode,
                      const std::atomic<bool>* cancel, WorkMeter* meter = nullptr);

 private:
  const ArchiveReader* reader_;
  std::unique_ptr<ArchiveReader::WorkBuffers> buffers_;
};

#endif  // UPDATER_ARCHIVE_ARCHIVE_READER_H_

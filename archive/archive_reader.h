// The update run's access to the update archive: one process-wide reader that
// extracts bzip2-compressed entries by name.
#ifndef UPDATER_ARCHIVE_ARCHIVE_READER_H_
#define UPDATER_ARCHIVE_ARCHIVE_READER_H_

#include <cstdio>

#include "archive/qex.h"

class ArchiveReader {
 public:
  // 0, 6 (cannot open / malformed) or 11 (no memory for the work buffers).
  int Open(const char* path);
  // Closes the archive and frees the work buffers.
  void Close();
  // Creates `dest` (mode = the entry's permission bits, flags & 0777; the
  // umask applies) and decompresses the entry into it. 0; 6 when no archive is
  // open, no entry has that name (nothing is created) or its stored bytes
  // cannot be read; 7 when `dest` cannot be created or written; 39 for a
  // corrupt or cut-off bzip2 stream; 40 for an entry of stored length 0. A
  // file that fails part-way stays.
  int ExtractToFile(const char* name, const char* dest);
  // Decompresses the entry into a stream the caller owns (neither flushed nor
  // closed). Codes as for ExtractToFile.
  int ExtractToStream(const char* name, FILE* fp);
  // Decompresses `entry`, which must come from the open archive, into `fp`;
  // ends at the first end of a bzip2 stream, ignoring any bytes after it.
  int ExtractEntry(QexEntry* entry, FILE* fp);
  // 20 when no archive is open, else 0.
  int CheckArchiveOpen();
  // 0, 20, 21, 22 or 23. `channels` is a list of accepted channel names.
  int CheckProductInformation(const char* channels, const char* app_version);

 private:
  QexArchive* archive_ = nullptr;
};

// The process-wide reader; closed by a handler at normal exit, which every
// program linking archive_reader.cc registers at start-up. Not thread-safe:
// the work buffers are shared by all readers, one extraction at a time.
extern ArchiveReader gArchiveReader;

#endif  // UPDATER_ARCHIVE_ARCHIVE_READER_H_

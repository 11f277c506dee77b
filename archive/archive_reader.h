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
  // Creates `dest` (mode = the entry's flags, umask applies) and decompresses
  // the entry into it. 0, 6, 7, 39 or 40. A file that fails part-way stays.
  int ExtractToFile(const char* name, const char* dest);
  // Decompresses the entry into a stream the caller owns. 0, 6, 7, 39 or 40.
  int ExtractToStream(const char* name, FILE* fp);
  int ExtractEntry(QexEntry* entry, FILE* fp);
  // 20 when no archive is open, else 0.
  int CheckArchiveOpen();
  // 0, 20, 21, 22 or 23. `channels` is a list of accepted channel names.
  int CheckProductInformation(const char* channels, const char* app_version);

 private:
  QexArchive* archive_ = nullptr;
};

// The process-wide reader; closed by a handler at normal exit.
extern ArchiveReader gArchiveReader;

#endif  // UPDATER_ARCHIVE_ARCHIVE_READER_H_

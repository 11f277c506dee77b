// C++ ownership of the signature keys of the archive library (qex.h).
#ifndef UPDATER_ARCHIVE_QEX_SIGN_H_
#define UPDATER_ARCHIVE_QEX_SIGN_H_

#include <memory>
#include <string>

#include "archive/qex.h"

struct QexKeysDeleter {
  void operator()(QexKeySet* keys) const { qex_free_keys(keys); }
};
using QexKeys = std::unique_ptr<QexKeySet, QexKeysDeleter>;

// The SHA-256 of every byte of the open file `fd` (read with pread from offset
// 0 to its end; the file offset is left alone), as 64 lower-case hex digits:
// the identity of an update archive. False when the file cannot be read.
bool qex_file_sha256(int fd, std::string* hex);

#endif  // UPDATER_ARCHIVE_QEX_SIGN_H_

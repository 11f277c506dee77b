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

// The SHA-256 of the `size` bytes at `data` into the 32 bytes at `digest`.
bool qex_sha256(const void* data, size_t size, unsigned char* digest);
// Signs `size` bytes at `data` with the private key `index` of `keys` into the
// QEX_ED25519_SIGNATURE_SIZE bytes at `signature`: the plain Ed25519
// signature of the bytes themselves, for files other than archives. False
// when there is no such key or it cannot sign.
bool qex_sign_bytes(const QexKeySet* keys, int index, const void* data, size_t size,
                    unsigned char* signature);
// The index of the first key of `keys` (public or private) whose Ed25519
// signature of the `size` bytes at `data` is the QEX_ED25519_SIGNATURE_SIZE
// bytes at `signature`; -1 for none or null keys.
int qex_verify_bytes(const QexKeySet* keys, const void* data, size_t size,
                     const unsigned char* signature);

#endif  // UPDATER_ARCHIVE_QEX_SIGN_H_

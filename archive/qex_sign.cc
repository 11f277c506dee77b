// Signing and verifying QEX archives with Ed25519 through libcrypto. The
// covered bytes are streamed through SHA-512 in fixed chunks, so memory does
// not grow with the archive; the 64-byte digest is what each key signs.
#include "archive/qex_sign.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "archive/qex.h"
#include "archive/qex_format.h"

struct QexKeySet {
  std::vector<EVP_PKEY*> keys;
  ~QexKeySet() {
    for (EVP_PKEY* k : keys) EVP_PKEY_free(k);
  }
};

namespace {

constexpr size_t kChunk = 1 << 20;
constexpr size_t kDigestSize = 64;
constexpr uint32_t kRecordHeaderSize = 8;

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// Reads exactly `n` bytes at `offset`; false on a short read or an error.
bool ReadAt(int fd, void* buf, size_t n, uint64_t offset) {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    ssize_t got = pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* buf, size_t n) {
  auto* p = static_cast<const unsigned char*>(buf);
  while (n > 0) {
    ssize_t put = write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// The signature area of an archive: where each record's bytes lie and where
// the covered rest begins.
struct SignatureArea {
  uint32_t count = 0;
  uint32_t algorithm[kQexMaxSignatures] = {};
  uint32_t length[kQexMaxSignatures] = {};
  uint64_t bytes_at[kQexMaxSignatures] = {};
  uint64_t end = kQexFirstSignaturePos;
  bool short_layout = false;
};

// QEX_VERIFIED when the area was read, else QEX_MALFORMED or QEX_UNREADABLE.
int ReadSignatureArea(int fd, uint64_t file_size, SignatureArea* area) {
  unsigned char head[kQexFirstSignaturePos];
  if (file_size < sizeof(head)) return QEX_MALFORMED;
  if (!ReadAt(fd, head, sizeof(head), 0)) return QEX_UNREADABLE;
  if (memcmp(head, kQexMagic, kQexMagicSize) != 0) return QEX_MALFORMED;
  // The first index record's offset tells the layouts apart, as for the reader.
  uint64_t first_record = uint64_t{qex_load_be32(head + kQexIndexOffsetPos)} + 4;
  unsigned char word[4];
  if (first_record + 4 > file_size) return QEX_MALFORMED;
  if (!ReadAt(fd, word, 4, first_record)) return QEX_UNREADABLE;
  if (qex_load_be32(word) == kQexShortLayoutContentStart) {
    area->short_layout = true;
    return QEX_VERIFIED;
  }
  area->count = qex_load_be32(head + kQexSignatureCountPos);
  if (area->count > kQexMaxSignatures) return QEX_MALFORMED;
  for (uint32_t i = 0; i < area->count; ++i) {
    unsigned char record[kRecordHeaderSize];
    if (area->end + kRecordHeaderSize > file_size) return QEX_MALFORMED;
    if (!ReadAt(fd, record, sizeof(record), area->end)) return QEX_UNREADABLE;
    area->algorithm[i] = qex_load_be32(record);
    area->length[i] = qex_load_be32(record + 4);
    area->bytes_at[i] = area->end + kRecordHeaderSize;
    area->end = area->bytes_at[i] + area->length[i];
    if (area->end > file_size) return QEX_MALFORMED;
  }
  return QEX_VERIFIED;
}

// Feeds bytes [from, to) of `fd` to the digest and, when `out` is not -1,
// appends them to `out`. `buf` holds kChunk bytes.
bool Stream(int fd, uint64_t from, uint64_t to, EVP_MD_CTX* md, int out, unsigned char* buf) {
  while (from < to) {
    size_t n = to - from < kChunk ? static_cast<size_t>(to - from) : kChunk;
    if (!ReadAt(fd, buf, n, from) || EVP_DigestUpdate(md, buf, n) != 1) return false;
    if (out >= 0 && !WriteAll(out, buf, n)) return false;
    from += n;
  }
  return true;
}

MdCtx NewSha512() {
  MdCtx md(EVP_MD_CTX_new());
  if (md && EVP_DigestInit_ex(md.get(), EVP_sha512(), nullptr) != 1) md.reset();
  return md;
}

// The digest of the covered bytes of an archive whose area was read.
bool DigestArchive(int fd, uint64_t file_size, const SignatureArea& area, unsigned char* digest) {
  MdCtx md = NewSha512();
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kChunk]);
  if (!md || !buf) return false;
  if (!Stream(fd, 0, kQexFirstSignaturePos, md.get(), -1, buf.get())) return false;
  for (uint32_t i = 0; i < area.count; ++i) {
    if (!Stream(fd, area.bytes_at[i] - kRecordHeaderSize, area.bytes_at[i], md.get(), -1,
                buf.get())) {
      return false;
    }
  }
  unsigned int size = 0;
  return Stream(fd, area.end, file_size, md.get(), -1, buf.get()) &&
         EVP_DigestFinal_ex(md.get(), digest, &size) == 1 && size == kDigestSize;
}

bool VerifyWith(EVP_PKEY* key, const unsigned char* signature, const unsigned char* digest) {
  MdCtx ctx(EVP_MD_CTX_new());
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), signature, QEX_ED25519_SIGNATURE_SIZE, digest, kDigestSize) ==
             1;
}

bool SignWith(EVP_PKEY* key, const unsigned char* digest, unsigned char* signature) {
  MdCtx ctx(EVP_MD_CTX_new());
  size_t size = QEX_ED25519_SIGNATURE_SIZE;
  return ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
         EVP_DigestSign(ctx.get(), signature, &size, digest, kDigestSize) == 1 &&
         size == QEX_ED25519_SIGNATURE_SIZE;
}

int SignFail(const char* path, const char* why) {
  fprintf(stderr, "ERROR: cannot sign %s: %s\n", path, why);
  return -1;
}

// Writes the signed copy of the archive `in` (its area read, its index at
// `index_offset` reaching the end of the file) to `out`.
int WriteSigned(int in, uint64_t file_size, const SignatureArea& area, uint32_t index_offset,
                const QexKeySet& keys, int out, const char* path) {
  const uint32_t count = static_cast<uint32_t>(keys.keys.size());
  const uint64_t new_end =
      kQexFirstSignaturePos + uint64_t{count} * (kRecordHeaderSize + QEX_ED25519_SIGNATURE_SIZE);
  const int64_t delta = static_cast<int64_t>(new_end) - static_cast<int64_t>(area.end);
  unsigned char word[4];
  if (!ReadAt(in, word, 4, index_offset)) return SignFail(path, strerror(errno));
  const uint32_t index_size = qex_load_be32(word);
  std::unique_ptr<unsigned char[]> index(new (std::nothrow) unsigned char[index_size + 4]);
  if (!index) return SignFail(path, "no memory for the index");
  if (!ReadAt(in, index.get(), index_size + 4u, index_offset)) {
    return SignFail(path, strerror(errno));
  }
  // The offsets the reader takes from the index move with the contents; a
  // final record without a terminated name is dropped by the reader anyway.
  unsigned char* p = index.get() + 4;
  unsigned char* end = p + index_size;
  while (end - p >= kQexIndexRecordMinRemaining) {
    auto* nul = static_cast<unsigned char*>(
        memchr(p + kQexIndexRecordHeaderSize, 0, static_cast<size_t>(end - p) - 12));
    if (!nul) break;
    uint32_t offset = qex_load_be32(p);
    if (offset < area.end || uint64_t{offset} + qex_load_be32(p + 4) > index_offset ||
        offset + delta > UINT32_MAX) {
      return SignFail(path, "an entry lies outside the contents or would move past 4 GiB");
    }
    qex_store_be32(p, static_cast<uint32_t>(offset + delta));
    p = nul + 1;
  }
  if (index_offset + delta > UINT32_MAX) return SignFail(path, "the archive would outgrow 4 GiB");

  unsigned char head[kQexFirstSignaturePos];
  memcpy(head, kQexMagic, kQexMagicSize);
  qex_store_be32(head + kQexIndexOffsetPos, static_cast<uint32_t>(index_offset + delta));
  qex_store_be64(head + kQexArchiveSizePos, static_cast<uint64_t>(file_size + delta));
  qex_store_be32(head + kQexSignatureCountPos, count);
  MdCtx md = NewSha512();
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kChunk]);
  if (!md || !buf) return SignFail(path, "no memory");
  bool ok =
      EVP_DigestUpdate(md.get(), head, sizeof(head)) == 1 && WriteAll(out, head, sizeof(head));
  unsigned char record[kRecordHeaderSize + QEX_ED25519_SIGNATURE_SIZE] = {};
  qex_store_be32(record, QEX_SIGNATURE_ED25519);
  qex_store_be32(record + 4, QEX_ED25519_SIGNATURE_SIZE);
  for (uint32_t i = 0; ok && i < count; ++i) {
    // The signature bytes stay zero until the digest is known.
    ok = EVP_DigestUpdate(md.get(), record, kRecordHeaderSize) == 1 &&
         WriteAll(out, record, sizeof(record));
  }
  unsigned char digest[kDigestSize];
  unsigned int size = 0;
  ok = ok && Stream(in, area.end, index_offset, md.get(), out, buf.get()) &&
       EVP_DigestUpdate(md.get(), index.get(), index_size + 4u) == 1 &&
       WriteAll(out, index.get(), index_size + 4u) &&
       EVP_DigestFinal_ex(md.get(), digest, &size) == 1 && size == kDigestSize;
  if (!ok) return SignFail(path, strerror(errno));
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char signature[QEX_ED25519_SIGNATURE_SIZE];
    off_t at = static_cast<off_t>(kQexFirstSignaturePos + i * sizeof(record) + kRecordHeaderSize);
    if (!SignWith(keys.keys[i], digest, signature)) return SignFail(path, "signing failed");
    if (pwrite(out, signature, sizeof(signature), at) != static_cast<ssize_t>(sizeof(signature))) {
      return SignFail(path, strerror(errno));
    }
  }
  return fsync(out) == 0 ? 0 : SignFail(path, strerror(errno));
}

}  // namespace

QexKeySet* qex_read_public_keys(const char* path) {
  // Never blocking in open on a FIFO in the file's place.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  QexKeySet* set = qex_read_public_keys_fd(fd);
  int saved = errno;
  close(fd);
  errno = saved;
  return set;
}

QexKeySet* qex_read_public_keys_fd(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
  int own = dup(fd);
  FILE* f = own >= 0 ? fdopen(own, "r") : nullptr;
  if (!f) {
    if (own >= 0) close(own);
    return nullptr;
  }
  if (fseeko(f, 0, SEEK_SET) != 0) {
    fclose(f);
    return nullptr;
  }
  auto* set = new (std::nothrow) QexKeySet;
  // A block that is not a public key ends PEM_read_PUBKEY's walk with an
  // error; the walk goes on past it until the end of the file.
  while (set && !feof(f) && !ferror(f)) {
    EVP_PKEY* key = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
    if (!key) {
      if (ferror(f)) break;
      ERR_clear_error();
      continue;
    }
    if (EVP_PKEY_is_a(key, "ED25519")) {
      set->keys.push_back(key);
    } else {
      EVP_PKEY_free(key);
    }
  }
  int saved = errno;
  bool read_error = ferror(f) != 0;
  fclose(f);
  if (read_error) {
    qex_free_keys(set);
    errno = saved ? saved : EIO;
    return nullptr;
  }
  return set;
}

QexKeySet* qex_read_private_keys(int count, const char* const* paths) {
  std::unique_ptr<QexKeySet> set(new (std::nothrow) QexKeySet);
  if (!set) return nullptr;
  for (int i = 0; i < count; ++i) {
    FILE* f = fopen(paths[i], "r");
    if (!f) {
      fprintf(stderr, "ERROR: cannot open the key %s: %s\n", paths[i], strerror(errno));
      return nullptr;
    }
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    fclose(f);
    if (!key || !EVP_PKEY_is_a(key, "ED25519")) {
      EVP_PKEY_free(key);
      fprintf(stderr, "ERROR: %s holds no Ed25519 private key\n", paths[i]);
      return nullptr;
    }
    set->keys.push_back(key);
  }
  return set.release();
}

int qex_write_public_keys(const QexKeySet* keys, const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  FILE* f = fchmod(fd, 0644) == 0 ? fdopen(fd, "w") : nullptr;
  int err = errno;
  bool ok = f != nullptr;
  for (size_t i = 0; ok && keys && i < keys->keys.size(); ++i) {
    ok = PEM_write_PUBKEY(f, keys->keys[i]) == 1;
    if (!ok) err = ferror(f) ? errno : EIO;
  }
  if (!f) {
    close(fd);
  } else if (fclose(f) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok) return 0;
  unlink(path);
  errno = err;
  return -1;
}

int qex_key_count(const QexKeySet* keys) { return keys ? static_cast<int>(keys->keys.size()) : 0; }

void qex_free_keys(QexKeySet* keys) { delete keys; }

int qex_verify_archive(const char* path, const QexKeySet* keys, QexSignatureCheck* checks,
                       uint32_t* check_count) {
  if (check_count) *check_count = 0;
  Fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) return QEX_UNREADABLE;
  return qex_verify_archive_fd(fd.fd, keys, checks, check_count);
}

int qex_verify_archive_fd(int fd, const QexKeySet* keys, QexSignatureCheck* checks,
                          uint32_t* check_count) {
  if (check_count) *check_count = 0;
  struct stat st;
  if (fstat(fd, &st) != 0) return QEX_UNREADABLE;
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  SignatureArea area;
  int rv = ReadSignatureArea(fd, file_size, &area);
  if (rv != QEX_VERIFIED) return rv;
  if (area.count == 0) return QEX_UNSIGNED;
  // Without a key nothing verifies: the records are all there is to report.
  unsigned char digest[kDigestSize];
  if (qex_key_count(keys) > 0 && !DigestArchive(fd, file_size, area, digest)) {
    return QEX_UNREADABLE;
  }

  rv = QEX_NOT_VERIFIED;
  for (uint32_t i = 0; i < area.count; ++i) {
    int by = -1;
    if (area.algorithm[i] == QEX_SIGNATURE_ED25519 &&
        area.length[i] == QEX_ED25519_SIGNATURE_SIZE) {
      unsigned char signature[QEX_ED25519_SIGNATURE_SIZE];
      if (!ReadAt(fd, signature, sizeof(signature), area.bytes_at[i])) return QEX_UNREADABLE;
      for (int k = 0; by < 0 && k < qex_key_count(keys); ++k) {
        if (VerifyWith(keys->keys[static_cast<size_t>(k)], signature, digest)) by = k;
      }
    }
    if (by >= 0) rv = QEX_VERIFIED;
    if (checks) checks[i] = QexSignatureCheck{area.algorithm[i], area.length[i], by};
  }
  if (check_count) *check_count = area.count;
  return rv;
}

int qex_sign_archive(const char* path, const QexKeySet* keys) {
  if (qex_key_count(keys) > kQexMaxSignatures) return SignFail(path, "more than 8 keys");
  const QexKeySet none;
  const QexKeySet& use = keys ? *keys : none;
  // The reader must accept the archive as it is: the index is rewritten the
  // way the reader parses it.
  QexArchive* archive = qex_open(path);
  if (!archive) return SignFail(path, "not a readable QEX archive");
  qex_close(archive);
  Fd in(open(path, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (in.fd < 0 || fstat(in.fd, &st) != 0) return SignFail(path, strerror(errno));
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);
  SignatureArea area;
  if (ReadSignatureArea(in.fd, file_size, &area) != QEX_VERIFIED) {
    return SignFail(path, "its signature area cannot be read");
  }
  if (area.short_layout) return SignFail(path, "the short layout has no signature area");
  unsigned char head[8];
  if (!ReadAt(in.fd, head, sizeof(head), 0)) return SignFail(path, strerror(errno));
  const uint32_t index_offset = qex_load_be32(head + kQexIndexOffsetPos);
  unsigned char word[4];
  if (index_offset < area.end || !ReadAt(in.fd, word, 4, index_offset) ||
      uint64_t{index_offset} + 4 + qex_load_be32(word) != file_size) {
    // Bytes after the index would be covered but belong to nothing.
    return SignFail(path, "the index does not end the file");
  }

  std::string tmp = std::string(path) + ".sign-XXXXXX";
  Fd out(mkstemp(&tmp[0]));
  if (out.fd < 0) return SignFail(path, strerror(errno));
  int rv = fchmod(out.fd, st.st_mode & 07777) == 0
               ? WriteSigned(in.fd, file_size, area, index_offset, use, out.fd, path)
               : SignFail(path, strerror(errno));
  if (rv == 0 && rename(tmp.c_str(), path) != 0) rv = SignFail(path, strerror(errno));
  if (rv != 0) unlink(tmp.c_str());
  return rv;
}

bool qex_file_sha256(int fd, std::string* hex) {
  MdCtx md(EVP_MD_CTX_new());
  if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) return false;
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kChunk]);
  if (!buf) return false;
  // To the end as read, not as fstat said: a file that grows is read whole.
  for (uint64_t offset = 0;;) {
    ssize_t got = pread(fd, buf.get(), kChunk, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    if (EVP_DigestUpdate(md.get(), buf.get(), static_cast<size_t>(got)) != 1) return false;
    offset += static_cast<uint64_t>(got);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(md.get(), digest, &size) != 1) return false;
  static const char kHex[] = "0123456789abcdef";
  hex->clear();
  for (unsigned int i = 0; i < size; ++i) {
    hex->push_back(kHex[digest[i] >> 4]);
    hex->push_back(kHex[digest[i] & 15]);
  }
  return true;
}

bool qex_sign_bytes(const QexKeySet* keys, int index, const void* data, size_t size,
                    unsigned char* signature) {
  if (!keys || index < 0 || index >= static_cast<int>(keys->keys.size())) return false;
  MdCtx ctx(EVP_MD_CTX_new());
  size_t length = QEX_ED25519_SIGNATURE_SIZE;
  return ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, keys->keys[index]) == 1 &&
         EVP_DigestSign(ctx.get(), signature, &length, static_cast<const unsigned char*>(data),
                        size) == 1 &&
         length == QEX_ED25519_SIGNATURE_SIZE;
}

int qex_verify_bytes(const QexKeySet* keys, const void* data, size_t size,
                     const unsigned char* signature) {
  if (!keys) return -1;
  for (size_t i = 0; i < keys->keys.size(); ++i) {
    MdCtx ctx(EVP_MD_CTX_new());
    if (ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, keys->keys[i]) == 1 &&
        EVP_DigestVerify(ctx.get(), signature, QEX_ED25519_SIGNATURE_SIZE,
                         static_cast<const unsigned char*>(data), size) == 1)
      return static_cast<int>(i);
  }
  return -1;
}

bool qex_sha256(const void* data, size_t size, unsigned char* digest) {
  unsigned int length = 0;
  return EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) == 1 && length == 32;
}

/* The QEX archive format's constants and byte-order helpers, shared by the
 * reader and the writer. doc/qex_format.md describes the format. Usable from C.
 *
 * Every integer in the file is unsigned big-endian; all offsets are absolute.
 */
#ifndef UPDATER_ARCHIVE_QEX_FORMAT_H_
#define UPDATER_ARCHIVE_QEX_FORMAT_H_

#include <stdint.h>

static const char kQexMagic[] = "QEX1"; /* stored without its zero byte */

enum {
  kQexMagicSize = 4,
  /* Header fields (the full layout; the short layout stops after the index offset). */
  kQexIndexOffsetPos = 4,
  kQexArchiveSizePos = 8,
  kQexSignatureCountPos = 16,
  kQexFirstSignaturePos = 20,
  /* Content start of an archive in the short layout, which has no signature area. */
  kQexShortLayoutContentStart = 8,
  /* The information reader refuses more signatures than this. */
  kQexMaxSignatures = 8,

  /* Additional blocks: u32 size (whole block), u32 identifier, payload. */
  kQexBlockHeaderSize = 8,
  kQexProductInfoBlockId = 1,
  kQexProductInfoBlockSize = 104,
  kQexProductInfoPayloadSize = 96,
  kQexMaxChannelLength = 63, /* bytes before the zero byte */
  kQexMaxVersionLength = 31,
  /* The application id block: the id, a zero byte, zero bytes to the end. */
  kQexAppIdBlockId = 2,
  kQexAppIdBlockSize = 136,
  kQexAppIdPayloadSize = 128,
  kQexMaxAppIdLength = 127,

  /* Index record: u32 offset, u32 length, u32 flags, then the name and its zero byte. */
  kQexIndexRecordHeaderSize = 12,
  /* Parsing stops when fewer bytes than this remain in the index. */
  kQexIndexRecordMinRemaining = 14,
  kQexBucketCount = 256,

  /* What the writer produces: magic, index offset, archive size, signature
   * count 0, additional block count 1, then the product information block. */
  kQexCreatedHeaderSize = 24,
  kQexCreatedContentStart = 24 + 104,
  /* The writer refuses to produce an archive larger than this (500 MiB). */
  kQexMaxCreatedSize = 524288000,

  kQexPermissionMask = 0777
};

static inline uint32_t qex_load_be32(const unsigned char* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static inline void qex_store_be32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

static inline void qex_store_be64(unsigned char* p, uint64_t v) {
  qex_store_be32(p, (uint32_t)(v >> 32));
  qex_store_be32(p + 4, (uint32_t)v);
}

#endif /* UPDATER_ARCHIVE_QEX_FORMAT_H_ */

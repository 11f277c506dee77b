// Reading side of the QEX library: open and index an archive, find, visit and
// read entries, and read the signature, additional-block and product
// information. Offsets go through fseeko/ftello, so every u32 offset of the
// format works, also past 2 GiB.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "archive/qex.h"
#include "archive/qex_format.h"

static_assert(sizeof(QexArchive::table) / sizeof(QexEntry*) == kQexBucketCount,
              "one chain per bucket");

namespace {

int ReadU32(FILE* fp, uint32_t* out) {
  unsigned char b[4];
  if (fread(b, 1, sizeof(b), fp) != sizeof(b)) return -1;
  *out = qex_load_be32(b);
  return 0;
}

int SeekTo(FILE* fp, uint64_t offset) { return fseeko(fp, static_cast<off_t>(offset), SEEK_SET); }

// The offset of the first entry's contents, taken from the first index record:
// 8 marks the short layout.
int ReadContentStart(FILE* fp, uint32_t* content_start) {
  uint32_t index_offset;
  if (SeekTo(fp, kQexIndexOffsetPos) != 0 || ReadU32(fp, &index_offset) != 0) return -1;
  // Skip the index size field.
  if (SeekTo(fp, uint64_t{index_offset} + 4) != 0) return -1;
  return ReadU32(fp, content_start);
}

void FreeEntries(QexArchive* archive) {
  for (QexEntry*& head : archive->table) {
    while (head) {
      QexEntry* next = head->next;
      free(head);
      head = next;
    }
  }
}

// Parses the index in `buf` into the archive's buckets. 0 when it parses to
// its very end.
int ParseIndex(QexArchive* archive, const unsigned char* buf, size_t size) {
  QexEntry* tails[kQexBucketCount] = {};
  const unsigned char* p = buf;
  const unsigned char* end = buf + size;
  while (p < end && static_cast<size_t>(end - p) >= kQexIndexRecordMinRemaining) {
    const unsigned char* name = p + kQexIndexRecordHeaderSize;
    const unsigned char* nul =
        static_cast<const unsigned char*>(memchr(name, 0, static_cast<size_t>(end - name)));
    if (!nul) {
      // A final record without a terminated name is dropped.
      p = end;
      break;
    }
    size_t name_size = static_cast<size_t>(nul - name) + 1;
    auto* entry = static_cast<QexEntry*>(malloc(offsetof(QexEntry, name) + name_size));
    // An entry that cannot be held would silently vanish from the archive.
    if (!entry) return -1;
    entry->next = nullptr;
    entry->offset = qex_load_be32(p);
    entry->length = qex_load_be32(p + 4);
    entry->flags = qex_load_be32(p + 8);
    memcpy(entry->name, name, name_size);
    p = nul + 1;

    unsigned bucket = qex_bucket_of(entry->name);
    if (tails[bucket]) {
      tails[bucket]->next = entry;
    } else {
      archive->table[bucket] = entry;
    }
    tails[bucket] = entry;
  }
  return p == end ? 0 : -1;
}

int ReadIndex(QexArchive* archive) {
  FILE* fp = archive->fp;
  char magic[kQexMagicSize];
  if (fread(magic, 1, sizeof(magic), fp) != sizeof(magic) ||
      memcmp(magic, kQexMagic, kQexMagicSize) != 0) {
    return -1;
  }
  uint32_t index_offset, index_size;
  if (ReadU32(fp, &index_offset) != 0 || SeekTo(fp, index_offset) != 0 ||
      ReadU32(fp, &index_size) != 0) {
    return -1;
  }
  // The index size is untrusted: it must fit in what the file holds after it
  // before anything is allocated for it.
  struct stat st;
  if (fstat(fileno(fp), &st) != 0) return -1;
  uint64_t available = static_cast<uint64_t>(st.st_size) - (uint64_t{index_offset} + 4);
  if (index_size == 0 || uint64_t{index_offset} + 4 > static_cast<uint64_t>(st.st_size) ||
      index_size > available) {
    return -1;
  }
  auto* buf = static_cast<unsigned char*>(malloc(index_size));
  if (!buf) return -1;
  int rv = -1;
  if (fread(buf, 1, index_size, fp) == index_size) rv = ParseIndex(archive, buf, index_size);
  free(buf);
  return rv;
}

}  // namespace

unsigned qex_bucket_of(const char* name) {
  uint8_t h = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    h = static_cast<uint8_t>(h * 37 + *p);
  }
  return h;
}

namespace {

// Indexes the archive read from `fp`, which it owns from then on.
QexArchive* OpenStream(FILE* fp) {
  auto* archive = static_cast<QexArchive*>(calloc(1, sizeof(QexArchive)));
  if (!archive) {
    fclose(fp);
    return nullptr;
  }
  archive->fp = fp;
  if (ReadIndex(archive) != 0) {
    qex_close(archive);
    return nullptr;
  }
  return archive;
}

// A stream of its own on the file open on `fd`: opened anew through
// /proc/self/fd, which names that very file (never a path that may have
// changed), so that its position is its own; a duplicate, which shares the
// position, where /proc is missing. Null when there is neither.
FILE* StreamOnDuplicate(int fd) {
  char self[32];
  snprintf(self, sizeof(self), "/proc/self/fd/%d", fd);
  struct stat original, opened;
  int copy = open(self, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (copy >= 0 && (fstat(fd, &original) != 0 || fstat(copy, &opened) != 0 ||
                    original.st_dev != opened.st_dev || original.st_ino != opened.st_ino)) {
    close(copy);
    copy = -1;
  }
  if (copy < 0) copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return nullptr;
  FILE* fp = fdopen(copy, "rb");
  if (!fp) close(copy);
  if (fp && SeekTo(fp, 0) != 0) {
    fclose(fp);
    fp = nullptr;
  }
  return fp;
}

}  // namespace

QexArchive* qex_open(const char* path) {
  FILE* fp = fopen(path, "rb");
  if (!fp) {
    fprintf(stderr, "ERROR: could not open file in qex_open()\n");
    perror(path);
    return nullptr;
  }
  return OpenStream(fp);
}

QexArchive* qex_open_fd(int fd) {
  FILE* fp = StreamOnDuplicate(fd);
  return fp ? OpenStream(fp) : nullptr;
}

void qex_close(QexArchive* archive) {
  if (!archive) return;
  if (archive->fp) fclose(archive->fp);
  FreeEntries(archive);
  free(archive);
}

QexEntry* qex_find_entry(QexArchive* archive, const char* name) {
  if (!archive) return nullptr;
  for (QexEntry* e = archive->table[qex_bucket_of(name)]; e; e = e->next) {
    if (strcmp(e->name, name) == 0) return e;
  }
  return nullptr;
}

int qex_for_each_entry(QexArchive* archive, QexEntryCallback callback, void* closure) {
  for (QexEntry* head : archive->table) {
    for (QexEntry* e = head; e; e = e->next) {
      int rv = callback(archive, e, closure);
      if (rv != 0) return rv;
    }
  }
  return 0;
}

int qex_read_entry(QexArchive* archive, const QexEntry* entry, uint32_t position, void* buffer,
                   int buffer_size) {
  if (position == entry->length) return 0;
  if (position > entry->length || buffer_size <= 0) return -1;
  uint32_t n = entry->length - position;
  if (n > static_cast<uint32_t>(buffer_size)) n = static_cast<uint32_t>(buffer_size);
  if (SeekTo(archive->fp, uint64_t{entry->offset} + position) != 0) return -1;
  return static_cast<int>(fread(buffer, 1, n, archive->fp));
}

int get_qex_stream_info(FILE* fp, int* has_signature_area, uint32_t* signature_count,
                        int* has_additional_blocks, uint32_t* additional_blocks_offset,
                        uint32_t* additional_block_count) {
  if (!has_signature_area && !has_additional_blocks) return -1;
  uint32_t content_start;
  if (ReadContentStart(fp, &content_start) != 0) return -1;
  if (content_start == kQexShortLayoutContentStart) {
    // The short layout has no header fields past the index offset; what lies
    // at their places is entry data.
    if (signature_count) *signature_count = 0;
    if (has_signature_area) *has_signature_area = 0;
    if (has_additional_blocks) *has_additional_blocks = 0;
    return 0;
  }
  uint32_t count;
  if (SeekTo(fp, kQexSignatureCountPos) != 0 || ReadU32(fp, &count) != 0) return -1;
  if (signature_count) *signature_count = count;
  if (has_signature_area) *has_signature_area = 1;
  if (!has_additional_blocks) return 0;

  if (count > kQexMaxSignatures) return -1;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t length;
    if (fseeko(fp, 4, SEEK_CUR) != 0 || ReadU32(fp, &length) != 0 ||
        fseeko(fp, static_cast<off_t>(length), SEEK_CUR) != 0) {
      return -1;
    }
  }
  off_t pos = ftello(fp);
  if (pos < 0) return -1;
  if (static_cast<uint64_t>(pos) == content_start) {
    *has_additional_blocks = 0;
    return 0;
  }
  *has_additional_blocks = 1;
  // The first block follows the count; reading the count leaves the stream there.
  if (additional_block_count && ReadU32(fp, additional_block_count) != 0) return -1;
  if (additional_blocks_offset) *additional_blocks_offset = static_cast<uint32_t>(pos + 4);
  return 0;
}

int get_qex_file_info(const char* path, int* has_signature_area, uint32_t* signature_count,
                      int* has_additional_blocks, uint32_t* additional_blocks_offset,
                      uint32_t* additional_block_count) {
  FILE* fp = fopen(path, "rb");
  if (!fp) {
    fprintf(stderr, "ERROR: could not open file in get_qex_file_info()\n");
    perror(path);
    return -1;
  }
  int rv = get_qex_stream_info(fp, has_signature_area, signature_count, has_additional_blocks,
                               additional_blocks_offset, additional_block_count);
  fclose(fp);
  return rv;
}

namespace {

// The product information payload of `payload` bytes at the stream's
// position into `info`. 0 or -1.
int ReadProductInfoPayload(FILE* fp, uint32_t payload, ProductInfo* info) {
  if (payload == 0 || payload > kQexProductInfoPayloadSize) return -1;
  // One spare zero byte bounds both strings.
  char buf[kQexProductInfoPayloadSize + 1] = {};
  if (fread(buf, 1, payload, fp) != payload) return -1;
  size_t channel_length = strlen(buf);
  if (channel_length > kQexMaxChannelLength) return -1;
  const char* version = buf + channel_length + 1;
  if (strlen(version) > kQexMaxVersionLength) return -1;
  info->channel_id = strdup(buf);
  info->product_version = strdup(version);
  return info->channel_id && info->product_version ? 0 : -1;
}

// The application id payload at the stream's position into `info`: only the
// fixed form, with a valid id, counts. 0 or -1.
int ReadAppIdPayload(FILE* fp, uint32_t payload, ProductInfo* info) {
  char buf[kQexAppIdPayloadSize + 1] = {};
  if (payload != kQexAppIdPayloadSize || fread(buf, 1, payload, fp) != payload ||
      !qex_app_id_is_valid(buf) || info->app_id) {
    return -1;
  }
  info->app_id = strdup(buf);
  return info->app_id ? 0 : -1;
}

}  // namespace

int qex_app_id_is_valid(const char* id) {
  if (!id) return 0;
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  size_t length = strlen(id);
  if (length == 0 || length > kQexMaxAppIdLength || !letter(id[0]) || id[length - 1] == '.' ||
      strstr(id, "..")) {
    return 0;
  }
  for (const char* p = id; *p; ++p) {
    if (!letter(*p) && !(*p >= '0' && *p <= '9') && *p != '-' && *p != '_' && *p != '.') return 0;
  }
  return 1;
}

int qex_read_product_info(QexArchive* archive, ProductInfo* info) {
  info->channel_id = nullptr;
  info->product_version = nullptr;
  info->app_id = nullptr;
  FILE* fp = archive->fp;
  int has_blocks;
  uint32_t offset, count;
  if (get_qex_stream_info(fp, nullptr, nullptr, &has_blocks, &offset, &count) != 0 || !has_blocks) {
    return -1;
  }
  int rv = 0;
  for (uint32_t i = 0; i < count && rv == 0; ++i) {
    uint32_t size, id;
    if (ReadU32(fp, &size) != 0 || ReadU32(fp, &id) != 0 || size < kQexBlockHeaderSize) {
      rv = -1;
      break;
    }
    uint32_t payload = size - kQexBlockHeaderSize;
    if (id == kQexProductInfoBlockId && !info->channel_id) {
      rv = ReadProductInfoPayload(fp, payload, info);
    } else if (id == kQexAppIdBlockId) {
      rv = ReadAppIdPayload(fp, payload, info);
    } else if (fseeko(fp, static_cast<off_t>(payload), SEEK_CUR) != 0) {
      rv = -1;
    }
  }
  if (rv != 0 || !info->channel_id) {
    qex_free_product_info(info);
    return -1;
  }
  return 0;
}

int read_product_info_block(const char* path, ProductInfo* info) {
  QexArchive archive = {};
  archive.fp = fopen(path, "rb");
  if (!archive.fp) {
    fprintf(stderr, "ERROR: could not open file in read_product_info_block()\n");
    perror(path);
    return -1;
  }
  int rv = qex_read_product_info(&archive, info);
  fclose(archive.fp);
  return rv;
}

int read_product_info_block_fd(int fd, ProductInfo* info) {
  info->channel_id = nullptr;
  info->product_version = nullptr;
  info->app_id = nullptr;
  QexArchive archive = {};
  archive.fp = StreamOnDuplicate(fd);
  if (!archive.fp) return -1;
  int rv = qex_read_product_info(&archive, info);
  fclose(archive.fp);
  return rv;
}

void qex_free_product_info(ProductInfo* info) {
  free(info->channel_id);
  free(info->product_version);
  free(info->app_id);
  info->channel_id = nullptr;
  info->product_version = nullptr;
  info->app_id = nullptr;
}

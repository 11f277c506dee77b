// Writing side of the QEX library: create an archive from files (stored as
// they are or bzip2-compressed) and refresh the product information and
// application id blocks in place; also the bzip2 compression of qex_compress.h.
//
// Sources whose contents are identical are stored once: their records share
// one offset and length. A source is recognised by its content key (length
// and SHA-256, archive/content_digest.h), taken only where another source has
// the same size, so that most files are read once.
#include <bzlib.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <vector>

#include "archive/content_digest.h"
#include "archive/qex.h"
#include "archive/qex_compress.h"
#include "archive/qex_format.h"

namespace {

constexpr size_t kCopyChunk = 4096;
constexpr size_t kCompressChunk = 65536;
constexpr int kBzip2BlockSize = 9;
constexpr uint32_t kIndexGrowth = 4096;

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

int WriteU32(FILE* fp, uint32_t v) {
  unsigned char b[4];
  qex_store_be32(b, v);
  return fwrite(b, sizeof(b), 1, fp) == 1 ? 0 : -1;
}

FILE* OpenSource(const char* path, const char* function) {
  FILE* in = fopen(path, "rb");
  if (!in) {
    fprintf(stderr, "ERROR: could not open file in %s()\n", function);
    perror(path);
  }
  return in;
}

void ReportReadError(const char* path, const char* function) {
  fprintf(stderr, "ERROR: could not read file in %s()\n", function);
  perror(path);
}

// Copies `path` to `out` unchanged and adds the byte count to `copied`; feeds
// what it copies to `digest` when given.
int ConcatRaw(FILE* out, const char* path, uint64_t* copied, ContentDigest* digest) {
  FilePtr in(OpenSource(path, "qex_concat_file"));
  if (!in) return -1;
  char buf[kCopyChunk];
  for (;;) {
    size_t n = fread(buf, 1, sizeof(buf), in.get());
    if (n == 0) break;
    if (fwrite(buf, n, 1, out) != 1) return -1;
    if (digest) digest->Update(buf, n);
    *copied += n;
  }
  // A read error must not pass for the end of the file: the index would then
  // promise bytes that were never stored.
  if (ferror(in.get())) {
    ReportReadError(path, "qex_concat_file");
    return -1;
  }
  return 0;
}

// Runs the compressor with `action` until it has taken all input (BZ_RUN) or
// finished the stream (BZ_FINISH), writing everything it produces.
int Compress(bz_stream* strm, int action, FILE* out, uint64_t* written) {
  char buf[kCompressChunk];
  for (;;) {
    strm->next_out = buf;
    strm->avail_out = sizeof(buf);
    int rv = BZ2_bzCompress(strm, action);
    size_t produced = sizeof(buf) - strm->avail_out;
    if (produced && fwrite(buf, produced, 1, out) != 1) return kQexCompressWriteError;
    *written += produced;
    if (action == BZ_FINISH) {
      if (rv == BZ_STREAM_END) return kQexCompressOk;
      if (rv != BZ_FINISH_OK) return kQexCompressFailed;
    } else {
      if (rv != BZ_RUN_OK) return kQexCompressFailed;
      if (strm->avail_in == 0) return kQexCompressOk;
    }
  }
}

int ConcatBzip2(FILE* out, const char* path, uint64_t* written, ContentDigest* digest) {
  FilePtr in(OpenSource(path, "qex_concat_file_bzip2"));
  if (!in) return -1;
  int rv = CompressToBzip2(in.get(), out, written, digest);
  if (rv == kQexCompressReadError) ReportReadError(path, "qex_concat_file_bzip2");
  return rv == kQexCompressOk ? 0 : -1;
}

// Appends one index record for bytes stored at `offset`; grows the buffer in
// whole pages.
int AppendRecord(QexIndexBuilder* builder, const char* name, uint32_t offset, uint32_t length,
                 uint32_t mode) {
  size_t name_size = strlen(name) + 1;
  uint64_t needed = kQexIndexRecordHeaderSize + name_size;
  if (uint64_t{builder->used} + needed > UINT32_MAX - kIndexGrowth) return -1;
  if (builder->capacity - builder->used < needed) {
    uint32_t capacity = static_cast<uint32_t>(
        (builder->used + needed) / kIndexGrowth * kIndexGrowth + kIndexGrowth);
    auto* grown = static_cast<unsigned char*>(realloc(builder->index, capacity));
    if (!grown) return -1;
    builder->index = grown;
    builder->capacity = capacity;
  }
  unsigned char* p = builder->index + builder->used;
  qex_store_be32(p, offset);
  qex_store_be32(p + 4, length);
  qex_store_be32(p + 8, mode);
  memcpy(p + kQexIndexRecordHeaderSize, name, name_size);
  builder->used += static_cast<uint32_t>(needed);
  return 0;
}

// What the writer keeps of a source's status, taken before anything is stored.
struct SourceStatus {
  uint64_t size;
  uint32_t mode;  // permission bits
};

// The contents stored so far that a later source may repeat. Memory grows by
// a few dozen bytes for each source.
class StoredContents {
 public:
  struct Copy {
    uint32_t offset;
    uint32_t length;
  };

  // Counts the sizes of all sources (taken before any is stored).
  explicit StoredContents(const std::vector<SourceStatus>& sources) {
    for (const SourceStatus& source : sources) source_sizes_[source.size]++;
  }
  // Whether another source has a content of `size`: only then is it worth a key.
  bool MayRepeat(uint64_t size) const {
    auto it = source_sizes_.find(size);
    return it != source_sizes_.end() && it->second > 1;
  }
  // Whether a content of `size` was stored under its key.
  bool HasSize(uint64_t size) const {
    auto it = stored_.lower_bound(ContentKey{size, {}});
    return it != stored_.end() && it->first.length == size;
  }
  const Copy* Find(const ContentKey& key) const {
    auto it = stored_.find(key);
    return it == stored_.end() ? nullptr : &it->second;
  }
  void Add(const ContentKey& key, Copy copy) { stored_.emplace(key, copy); }

 private:
  std::map<uint64_t, int> source_sizes_;
  std::map<ContentKey, Copy> stored_;
};

// Stores one source file after the previous one and records it in the index,
// or only records it where `contents` already holds its bytes.
int AddSource(FILE* fp, QexIndexBuilder* builder, const QexSource& source,
              const SourceStatus& status, int store_mode, StoredContents* contents) {
  const bool may_repeat = contents->MayRepeat(status.size);
  if (may_repeat && contents->HasSize(status.size)) {
    ContentKey key;
    if (!DigestFile(source.path, &key)) {
      ReportReadError(source.path, "qex_create_archive_ex");
      return -1;
    }
    if (const StoredContents::Copy* copy = contents->Find(key)) {
      return AppendRecord(builder, source.name, copy->offset, copy->length, status.mode);
    }
  }
  // The key is taken from the bytes as they are stored, so that a later
  // source shares only what this one really holds, even if its file changed.
  std::unique_ptr<ContentDigest> digest;
  if (may_repeat) digest = std::make_unique<ContentDigest>();
  uint64_t stored = 0;
  int rv = store_mode == QEX_STORE_BZIP2 ? ConcatBzip2(fp, source.path, &stored, digest.get())
                                         : ConcatRaw(fp, source.path, &stored, digest.get());
  if (rv != 0) return -1;
  // The stored length is what was actually written, so the index always
  // matches the contents even if the file changed since its status was taken.
  if (uint64_t{builder->next_offset} + stored > UINT32_MAX) return -1;
  const StoredContents::Copy copy{builder->next_offset, static_cast<uint32_t>(stored)};
  if (AppendRecord(builder, source.name, copy.offset, copy.length, status.mode) != 0) return -1;
  builder->next_offset += copy.length;
  ContentKey key;
  if (digest && digest->Finish(&key)) contents->Add(key, copy);
  return 0;
}

// The 136-byte application id block for the valid `id`.
int WriteAppId(FILE* fp, const char* id) {
  unsigned char block[kQexAppIdBlockSize] = {};
  qex_store_be32(block, kQexAppIdBlockSize);
  qex_store_be32(block + 4, kQexAppIdBlockId);
  memcpy(block + kQexBlockHeaderSize, id, strlen(id));
  return fwrite(block, sizeof(block), 1, fp) == 1 ? 0 : -1;
}

int WriteArchive(FILE* fp, QexIndexBuilder* builder, int count, const QexSource* sources,
                 const ProductInfo* info, int store_mode) {
  const bool has_app_id = info && info->app_id;
  if (has_app_id && !qex_app_id_is_valid(info->app_id)) return -1;
  unsigned char header[kQexCreatedHeaderSize] = {};
  memcpy(header, kQexMagic, kQexMagicSize);
  // No signatures, so the additional block count follows the signature count.
  qex_store_be32(header + kQexFirstSignaturePos, has_app_id ? 2 : 1);
  if (fwrite(header, sizeof(header), 1, fp) != 1) return -1;
  builder->next_offset = kQexCreatedHeaderSize;
  if (qex_write_product_info(fp, builder, info) != 0) return -1;
  if (has_app_id) {
    if (WriteAppId(fp, info->app_id) != 0) return -1;
    builder->next_offset += kQexAppIdBlockSize;
  }

  std::vector<SourceStatus> status;
  for (int i = 0; i < count; ++i) {
    struct stat st;
    if (stat(sources[i].path, &st) != 0) {
      fprintf(stderr, "ERROR: file not found: %s\n", sources[i].path);
      return -1;
    }
    status.push_back(
        SourceStatus{static_cast<uint64_t>(st.st_size), st.st_mode & kQexPermissionMask});
  }
  StoredContents contents(status);
  for (int i = 0; i < count; ++i) {
    if (AddSource(fp, builder, sources[i], status[i], store_mode, &contents) != 0) return -1;
  }
  // An archive needs at least one entry.
  if (builder->used == 0) return -1;
  if (WriteU32(fp, builder->used) != 0 || fwrite(builder->index, builder->used, 1, fp) != 1) {
    return -1;
  }
  off_t end = ftello(fp);
  if (end < 0 || end > kQexMaxCreatedSize) return -1;

  unsigned char fields[12];
  qex_store_be32(fields, builder->next_offset);
  qex_store_be64(fields + 4, uint64_t{builder->next_offset} + builder->used + 4);
  if (fseeko(fp, kQexIndexOffsetPos, SEEK_SET) != 0 || fwrite(fields, sizeof(fields), 1, fp) != 1) {
    return -1;
  }
  return 0;
}

// Offset of the first entry's contents, or -1 when `fp` is not a QEX archive.
int64_t ContentStartOfArchive(FILE* fp) {
  unsigned char head[8];
  if (fseeko(fp, 0, SEEK_SET) != 0 || fread(head, sizeof(head), 1, fp) != 1 ||
      memcmp(head, kQexMagic, kQexMagicSize) != 0) {
    return -1;
  }
  unsigned char first[4];
  if (fseeko(fp, static_cast<off_t>(qex_load_be32(head + kQexIndexOffsetPos)) + 4, SEEK_SET) != 0 ||
      fread(first, sizeof(first), 1, fp) != 1) {
    return -1;
  }
  return qex_load_be32(first);
}

}  // namespace

int CompressToBzip2(FILE* in, FILE* out, uint64_t* compressed_size, ContentDigest* input_digest) {
  bz_stream strm;
  memset(&strm, 0, sizeof(strm));
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kCompressChunk]);
  if (!buf || BZ2_bzCompressInit(&strm, kBzip2BlockSize, 0, 0) != BZ_OK) {
    return kQexCompressCannotStart;
  }
  uint64_t written = 0;
  int rv = kQexCompressOk;
  while (rv == kQexCompressOk) {
    size_t n = fread(buf.get(), 1, kCompressChunk, in);
    if (n == 0) break;
    if (input_digest) input_digest->Update(buf.get(), n);
    strm.next_in = buf.get();
    strm.avail_in = static_cast<unsigned>(n);
    rv = Compress(&strm, BZ_RUN, out, &written);
  }
  // A read error must not pass for the end of the file: the stream would
  // hold a cut copy.
  if (rv == kQexCompressOk && ferror(in)) rv = kQexCompressReadError;
  if (rv == kQexCompressOk) rv = Compress(&strm, BZ_FINISH, out, &written);
  int saved_errno = errno;  // for the caller's message
  BZ2_bzCompressEnd(&strm);
  errno = saved_errno;
  if (rv == kQexCompressOk) *compressed_size = written;
  return rv;
}

int qex_write_product_info(FILE* stream, QexIndexBuilder* builder, const ProductInfo* info) {
  if (!stream || !info || !info->channel_id || !info->product_version) return -1;
  size_t channel_length = strlen(info->channel_id);
  size_t version_length = strlen(info->product_version);
  if (channel_length > kQexMaxChannelLength || version_length > kQexMaxVersionLength) return -1;
  if (builder) builder->next_offset += kQexProductInfoBlockSize;

  unsigned char block[kQexProductInfoBlockSize] = {};
  qex_store_be32(block, kQexProductInfoBlockSize);
  qex_store_be32(block + 4, kQexProductInfoBlockId);
  memcpy(block + kQexBlockHeaderSize, info->channel_id, channel_length);
  memcpy(block + kQexBlockHeaderSize + channel_length + 1, info->product_version, version_length);
  return fwrite(block, sizeof(block), 1, stream) == 1 ? 0 : -1;
}

int qex_concat_file(FILE* stream, const char* path) {
  uint64_t copied = 0;
  return ConcatRaw(stream, path, &copied, nullptr);
}

int qex_concat_file_bzip2(FILE* stream, const char* path, uint32_t* stored_length) {
  uint64_t written = 0;
  if (ConcatBzip2(stream, path, &written, nullptr) != 0 || written > UINT32_MAX) return -1;
  *stored_length = static_cast<uint32_t>(written);
  return 0;
}

int qex_create_archive_ex(const char* dest_path, int source_count, const QexSource* sources,
                          const ProductInfo* info, int store_mode) {
  FILE* fp = fopen(dest_path, "wb");
  if (!fp) {
    fprintf(stderr, "ERROR: could not create target file: %s\n", dest_path);
    return -1;
  }
  QexIndexBuilder builder = {};
  int rv = WriteArchive(fp, &builder, source_count, sources, info, store_mode);
  free(builder.index);
  // A failed close can lose buffered bytes: that archive is as broken as one
  // whose write failed.
  if (fclose(fp) != 0) rv = -1;
  if (rv != 0) remove(dest_path);
  return rv;
}

int qex_create_archive(const char* dest_path, int file_count, const char* const* file_paths,
                       const ProductInfo* info) {
  int count = file_count > 0 ? file_count : 0;
  std::unique_ptr<QexSource[]> sources(new (std::nothrow) QexSource[count > 0 ? count : 1]);
  if (!sources) return -1;
  for (int i = 0; i < count; ++i) sources[i] = QexSource{file_paths[i], file_paths[i]};
  return qex_create_archive_ex(dest_path, count, sources.get(), info, QEX_STORE_RAW);
}

int qex_refresh_product_info(const char* path, const ProductInfo* info) {
  int has_signatures, has_blocks;
  uint32_t signature_count, blocks_offset, block_count;
  if (get_qex_file_info(path, &has_signatures, &signature_count, &has_blocks, &blocks_offset,
                        &block_count) != 0) {
    fprintf(stderr, "ERROR: Could not obtain QEX information.\n");
    return -1;
  }
  if (has_signatures && signature_count != 0) {
    fprintf(stderr, "ERROR: Cannot refresh a signed QEX\n");
    return -1;
  }
  if (!has_blocks) {
    fprintf(stderr, "ERROR: Could not refresh because block does not exist\n");
    return -1;
  }
  FilePtr fp(fopen(path, "r+b"));
  if (!fp) {
    fprintf(stderr, "ERROR: could not open target file: %s\n", path);
    return -1;
  }
  int64_t content_start = ContentStartOfArchive(fp.get());
  if (content_start < 0) {
    fprintf(stderr, "ERROR: Cannot refresh a file that is not a QEX archive: %s\n", path);
    return -1;
  }
  if (fseeko(fp.get(), blocks_offset, SEEK_SET) != 0) {
    fprintf(stderr, "ERROR: could not seek to additional blocks\n");
    return -1;
  }
  // Both blocks are found before either is written, so that a refusal
  // leaves the file unchanged.
  off_t info_at = -1, app_id_at = -1;
  for (uint32_t i = 0; i < block_count; ++i) {
    off_t start = ftello(fp.get());
    unsigned char head[kQexBlockHeaderSize];
    if (start < 0 || fread(head, sizeof(head), 1, fp.get()) != 1) return -1;
    uint32_t size = qex_load_be32(head);
    uint32_t id = qex_load_be32(head + 4);
    uint32_t fixed = id == kQexProductInfoBlockId ? kQexProductInfoBlockSize
                     : id == kQexAppIdBlockId     ? kQexAppIdBlockSize
                                                  : 0;
    // The new block has its fixed form: written over a block of another
    // size, or over entry contents, it would break the archive.
    if (fixed && (size != fixed || start + fixed > content_start)) {
      fprintf(stderr, "ERROR: Cannot refresh a block %u of %u bytes at %lld\n", id, size,
              static_cast<long long>(start));
      return -1;
    }
    if (id == kQexProductInfoBlockId && info_at < 0) info_at = start;
    if (id == kQexAppIdBlockId && app_id_at < 0) app_id_at = start;
    if (size < kQexBlockHeaderSize ||
        fseeko(fp.get(), static_cast<off_t>(size - kQexBlockHeaderSize), SEEK_CUR) != 0) {
      fprintf(stderr, "ERROR: Could not seek past current block.\n");
      return -1;
    }
  }
  if (info->app_id && (!qex_app_id_is_valid(info->app_id) || app_id_at < 0)) {
    fprintf(stderr, "ERROR: %s\n",
            app_id_at < 0 ? "The archive has no application id block; create it anew"
                          : "Invalid application id");
    return -1;
  }
  if (info_at >= 0) {
    if (fseeko(fp.get(), info_at, SEEK_SET) != 0 ||
        qex_write_product_info(fp.get(), nullptr, info) != 0 ||
        (info->app_id &&
         (fseeko(fp.get(), app_id_at, SEEK_SET) != 0 || WriteAppId(fp.get(), info->app_id) != 0)) ||
        fclose(fp.release()) != 0) {
      fprintf(stderr, "Could not concat Product Information Block\n");
      return -1;
    }
    return 0;
  }
  fprintf(stderr, "ERROR: Could not refresh because block does not exist\n");
  return -1;
}

#include "archive/archive_test_util.h"

#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "archive/archive_reader.h"
#include "archive/decoder_budget.h"
#include "archive/qex.h"
#include "archive/qex_format.h"

namespace archive_testing {

std::string U32(uint32_t v) {
  unsigned char b[4];
  qex_store_be32(b, v);
  return std::string(reinterpret_cast<char*>(b), sizeof(b));
}

std::string Bzip2(const std::string& data, int level) {
  // bzip2's documented bound for the output: 1% plus 600 bytes.
  std::string out(data.size() + data.size() / 100 + 600, '\0');
  unsigned int size = static_cast<unsigned int>(out.size());
  int rv = BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char*>(data.data()),
                                    static_cast<unsigned int>(data.size()), level, 0, 0);
  out.resize(rv == BZ_OK ? size : 0);
  return out;
}

Extraction ExtractStored(const std::string& path, const std::string& stored, bool parallel) {
  Extraction result;
  ArchiveReader reader;
  if (!WriteTestArchive(path, {{"entry", stored, 0644, false}}) || reader.Open(path.c_str()))
    return result;
  const int capacity = gDecoderBudget.capacity();
  reader.set_parallel_decode_min_length(parallel ? 1 : UINT32_MAX);
  if (parallel) gDecoderBudget.SetCapacity(4);
  char* data = nullptr;
  size_t size = 0;
  if (FILE* fp = open_memstream(&data, &size)) {
    result.code = reader.ExtractToStream("entry", fp);
    fclose(fp);
    result.bytes.assign(data, size);
  }
  free(data);
  gDecoderBudget.SetCapacity(capacity);
  return result;
}

std::string ProductInfoPayload(const std::string& channel, const std::string& version) {
  std::string payload = channel + '\0' + version + '\0';
  if (payload.size() < kQexProductInfoPayloadSize) payload.resize(kQexProductInfoPayloadSize, '\0');
  return payload;
}

std::string BuildArchive(const TestLayout& layout) {
  // Magic, then the index offset and (full layout) the archive size, set below.
  std::string head = std::string(kQexMagic, kQexMagicSize) + U32(0);
  if (!layout.short_layout) {
    head += std::string(8, '\0') + U32(layout.signatures.size());
    for (const auto& sig : layout.signatures)
      head += U32(sig.first) + U32(sig.second.size()) + sig.second;
    std::vector<std::pair<uint32_t, std::string>> blocks = layout.blocks;
    if (layout.product_info) {
      blocks.emplace(blocks.begin(), kQexProductInfoBlockId,
                     ProductInfoPayload(layout.channel, layout.version));
    }
    if (!blocks.empty()) head += U32(blocks.size());
    for (const auto& b : blocks)
      head += U32(b.second.size() + kQexBlockHeaderSize) + U32(b.first) + b.second;
  }
  std::string contents, index;
  for (const TestEntry& e : layout.entries) {
    std::string stored = e.compress ? Bzip2(e.contents) : e.contents;
    index += U32(head.size() + contents.size()) + U32(stored.size()) + U32(e.mode) + e.name + '\0';
    contents += stored;
  }
  std::string out = head + contents + U32(index.size()) + index;
  out.replace(kQexIndexOffsetPos, 4, U32(head.size() + contents.size()));
  if (!layout.short_layout) out.replace(kQexArchiveSizePos, 8, U32(0) + U32(out.size()));
  return out;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

bool WriteTestArchive(const std::string& path, const std::vector<TestEntry>& entries) {
  TestLayout layout;
  layout.entries = entries;
  return WriteBytes(path, BuildArchive(layout));
}

bool SetU32(const std::string& path, uint64_t offset, uint32_t value) {
  int fd = open(path.c_str(), O_WRONLY);
  bool ok = fd >= 0 && pwrite(fd, U32(value).data(), 4, static_cast<off_t>(offset)) == 4;
  return fd >= 0 && close(fd) == 0 && ok;
}

bool MakeKeyPair(const std::string& base) {
  return std::system(("openssl genpkey -algorithm ed25519 -out '" + base +
                      ".pem' && openssl pkey -pubout -in '" + base + ".pem' -out '" + base +
                      ".pub'")
                         .c_str()) == 0;
}

bool SignWith(const std::string& path, const std::string& dir,
              const std::vector<std::string>& names) {
  std::vector<std::string> files;
  std::vector<const char*> paths;
  for (const std::string& name : names) files.push_back(dir + "/" + name + ".pem");
  for (const std::string& file : files) paths.push_back(file.c_str());
  QexKeySet* keys = qex_read_private_keys(static_cast<int>(paths.size()), paths.data());
  bool ok = keys && qex_sign_archive(path.c_str(), keys) == 0;
  qex_free_keys(keys);
  return ok;
}

uint32_t IndexOffsetOf(const std::string& bytes) {
  return qex_load_be32(reinterpret_cast<const unsigned char*>(bytes.data()) + kQexIndexOffsetPos);
}

}  // namespace archive_testing

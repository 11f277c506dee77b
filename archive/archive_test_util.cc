#include "archive/archive_test_util.h"

#include <bzlib.h>
#include <unistd.h>

#include <cstdio>

#include "archive/qex_format.h"

namespace archive_testing {

namespace {

void PutU32(std::string* out, uint32_t v) {
  unsigned char b[4];
  qex_store_be32(b, v);
  out->append(reinterpret_cast<char*>(b), sizeof(b));
}

}  // namespace

std::string Bzip2(const std::string& data) {
  // bzip2's documented bound for the output: 1% plus 600 bytes.
  std::string out(data.size() + data.size() / 100 + 600, '\0');
  unsigned int size = static_cast<unsigned int>(out.size());
  int rv = BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char*>(data.data()),
                                    static_cast<unsigned int>(data.size()), 9, 0, 0);
  if (rv != BZ_OK) return std::string();
  out.resize(size);
  return out;
}

std::string ProductInfoPayload(const std::string& channel, const std::string& version) {
  std::string payload = channel + '\0' + version + '\0';
  if (payload.size() < kQexProductInfoPayloadSize) payload.resize(kQexProductInfoPayloadSize, '\0');
  return payload;
}

std::string BuildArchive(const TestLayout& layout) {
  std::string head(kQexMagic, kQexMagicSize);
  PutU32(&head, 0);  // index offset, set below
  if (!layout.short_layout) {
    head.append(8, '\0');  // archive size, set below
    PutU32(&head, static_cast<uint32_t>(layout.signatures.size()));
    for (const auto& sig : layout.signatures) {
      PutU32(&head, sig.first);
      PutU32(&head, static_cast<uint32_t>(sig.second.size()));
      head += sig.second;
    }
    std::vector<std::pair<uint32_t, std::string>> blocks;
    if (layout.product_info) {
      blocks.emplace_back(kQexProductInfoBlockId,
                          ProductInfoPayload(layout.channel, layout.version));
    }
    blocks.insert(blocks.end(), layout.blocks.begin(), layout.blocks.end());
    if (!blocks.empty()) {
      PutU32(&head, static_cast<uint32_t>(blocks.size()));
      for (const auto& block : blocks) {
        PutU32(&head, static_cast<uint32_t>(block.second.size() + kQexBlockHeaderSize));
        PutU32(&head, block.first);
        head += block.second;
      }
    }
  }
  std::string contents, index;
  for (const TestEntry& e : layout.entries) {
    std::string stored = e.compress ? Bzip2(e.contents) : e.contents;
    PutU32(&index, static_cast<uint32_t>(head.size() + contents.size()));
    PutU32(&index, static_cast<uint32_t>(stored.size()));
    PutU32(&index, e.mode);
    index += e.name;
    index += '\0';
    contents += stored;
  }
  std::string out = head + contents;
  uint32_t index_offset = static_cast<uint32_t>(out.size());
  PutU32(&out, static_cast<uint32_t>(index.size()));
  out += index;
  qex_store_be32(reinterpret_cast<unsigned char*>(&out[kQexIndexOffsetPos]), index_offset);
  if (!layout.short_layout) {
    qex_store_be64(reinterpret_cast<unsigned char*>(&out[kQexArchiveSizePos]), out.size());
  }
  return out;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

bool WriteTestArchive(const std::string& path, const std::vector<TestEntry>& entries,
                      const std::string& channel, const std::string& version) {
  TestLayout layout;
  layout.entries = entries;
  layout.channel = channel;
  layout.version = version;
  return WriteBytes(path, BuildArchive(layout));
}

bool FlipByte(const std::string& path, uint64_t offset) {
  FILE* f = fopen(path.c_str(), "r+b");
  if (!f) return false;
  int c = -1;
  if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0) c = fgetc(f);
  bool ok =
      c != EOF && fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 && fputc(c ^ 0xFF, f) != EOF;
  return fclose(f) == 0 && ok;
}

bool SetU32(const std::string& path, uint64_t offset, uint32_t value) {
  FILE* f = fopen(path.c_str(), "r+b");
  if (!f) return false;
  unsigned char b[4];
  qex_store_be32(b, value);
  bool ok = fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 && fwrite(b, 4, 1, f) == 1;
  return fclose(f) == 0 && ok;
}

bool CutFile(const std::string& path, uint64_t size) {
  return truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

uint32_t IndexOffsetOf(const std::string& bytes) {
  return qex_load_be32(reinterpret_cast<const unsigned char*>(bytes.data()) + kQexIndexOffsetPos);
}

}  // namespace archive_testing

#include "actions/check_report.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "archive/archive_reader.h"
#include "base/error_codes.h"
#include "patch/crc32.h"
#include "patch/patch.h"

namespace {

// Takes an entry's bytes as they are decoded: its size, its CRC and, read as
// a patch, the header and the walk of its control block.
struct Sink {
  explicit Sink(DecodedEntry* entry) : entry(entry) {}
  DecodedEntry* entry;
  unsigned char head[kPatchHeaderSize];
  std::unique_ptr<PatchControlWalk> walk;

  void Take(const unsigned char* data, size_t size) {
    entry->crc = crc32_bzip2_extend(entry->crc, data, size);
    uint64_t at = entry->size;
    entry->size += size;
    if (at < kPatchHeaderSize) {
      size_t n = std::min<uint64_t>(size, kPatchHeaderSize - at);
      memcpy(head + at, data, n);
      data += n;
      size -= n;
      at += n;
      if (at < kPatchHeaderSize) return;
      entry->header = decode_patch_header(head);
      walk = std::make_unique<PatchControlWalk>(entry->header);
    }
    const uint64_t control_end = kPatchHeaderSize + uint64_t{entry->header.control_length};
    if (walk && at < control_end) {
      walk->Feed(data, static_cast<size_t>(std::min<uint64_t>(size, control_end - at)));
    }
  }
};

ssize_t Write(void* cookie, const char* data, size_t size) {
  static_cast<Sink*>(cookie)->Take(reinterpret_cast<const unsigned char*>(data), size);
  return static_cast<ssize_t>(size);
}

}  // namespace

int CheckReport::Result() const {
  for (bool prepare : {true, false}) {
    for (const Problem& p : problems) {
      if (p.in_prepare == prepare) return p.code;
    }
  }
  return kOk;
}

const DecodedEntry& CheckReport::Entry(ArchiveReader* archive, const std::string& name) {
  auto [it, fresh] = entries.try_emplace(name);
  DecodedEntry& entry = it->second;
  if (!fresh) return entry;
  Sink sink(&entry);
  cookie_io_functions_t io = {nullptr, Write, nullptr, nullptr};
  FILE* fp = fopencookie(&sink, "w", io);
  if (!fp) {
    entry.error = kArchiveNoMemory;
    return entry;
  }
  entry.error = archive ? archive->ExtractToStream(name.c_str(), fp) : kReadError;
  fclose(fp);
  decoded_bytes += entry.size;
  // As read_patch_header judges the file it was extracted to.
  if (entry.size < kPatchHeaderSize) {
    entry.patch_error = kReadError;
  } else if ((entry.patch_error = validate_patch_header(entry.header, entry.size)) == kOk) {
    entry.patch_error = sink.walk->Finish();
  }
  return entry;
}

// Opens the input as an update archive and reads everything it offers: the
// index, every entry's stored bytes, the signature and block information, the
// product information block, and every entry decompressed through the
// update run's reader. Records may share or overlap their stored bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "archive/archive_reader.h"
#include "archive/qex.h"
#include "fuzz/fuzz_util.h"

namespace {

// The harness gives its entry point no data of its own: the one sink is opened
// once for the whole process.
FILE* const null_stream = fopen("/dev/null", "wb");

// The reader open on the input, if it opened, and the result of extracting
// each range of stored bytes seen so far.
struct Walk {
  ArchiveReader* reader;
  std::map<std::pair<uint32_t, uint32_t>, int> results;
};

// Reads every stored byte of an entry in small pieces, as the extraction does,
// and extracts it through the walk's reader: a record that shares its range
// with an earlier one (the first of its name) must give the same result, and
// one that overlaps another without matching it is read like any other.
int ReadEntry(QexArchive* archive, QexEntry* entry, void* closure) {
  char buf[4096];
  uint32_t position = 0;
  for (int n; (n = qex_read_entry(archive, entry, position, buf, sizeof(buf))) > 0;) {
    position += static_cast<uint32_t>(n);
    if (n > static_cast<int>(sizeof(buf)) || position > entry->length) abort();
  }
  auto* walk = static_cast<Walk*>(closure);
  if (!walk->reader || qex_find_entry(archive, entry->name) != entry) return 0;
  int rv = walk->reader->ExtractToStream(entry->name, null_stream);
  if (rv != 0 && rv != 6 && rv != 7 && rv != 39 && rv != 40) abort();  // outside the contract
  if (walk->results.emplace(std::make_pair(entry->offset, entry->length), rv).first->second != rv)
    abort();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_util::WriteScratchFile("update.qex", data, size);
  ProductInfo info = {};
  int has_sig = 0, has_blocks = 0;
  uint32_t sig_count = 0, blocks_offset = 0, block_count = 0;
  get_qex_file_info(path.c_str(), &has_sig, &sig_count, &has_blocks, &blocks_offset, &block_count);
  if (read_product_info_block(path.c_str(), &info) == 0) qex_free_product_info(&info);

  // The update run's own path: the reader with its work buffers.
  ArchiveReader reader;
  const bool reader_open = reader.Open(path.c_str()) == 0;
  if (QexArchive* archive = qex_open(path.c_str())) {
    Walk walk{reader_open ? &reader : nullptr, {}};
    qex_for_each_entry(archive, ReadEntry, &walk);
    if (qex_read_product_info(archive, &info) == 0) {
      if (!info.channel_id || !info.product_version) abort();
      qex_free_product_info(&info);
    }
    qex_close(archive);
  }
  if (reader_open) {
    reader.ExtractToStream("updatev3.manifest", null_stream);
    reader.ExtractToFile("updatev2.manifest", "extracted");
    reader.CheckProductInformation("beta, release", "1.0");
  }
  return 0;
}

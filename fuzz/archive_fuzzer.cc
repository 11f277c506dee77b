// Opens the input as an update archive and reads everything it offers: the
// index, every entry's stored bytes, the signature and block information, the
// product information block, and every entry decompressed through the
// process-wide reader.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/archive_reader.h"
#include "archive/qex.h"
#include "fuzz/fuzz_util.h"

namespace {

// Reads every stored byte of an entry in small pieces, as the extraction does.
int ReadWholeEntry(QexArchive* archive, QexEntry* entry, void*) {
  char buf[4096];
  uint32_t position = 0;
  for (;;) {
    int n = qex_read_entry(archive, entry, position, buf, sizeof(buf));
    if (n <= 0) break;
    if (n > static_cast<int>(sizeof(buf))) abort();
    position += static_cast<uint32_t>(n);
    if (position > entry->length) abort();  // never past the entry's end
  }
  return 0;
}

// Extracts the entry of this name through the process-wide reader.
int ExtractByName(QexArchive*, QexEntry* entry, void* closure) {
  int rv = gArchiveReader.ExtractToStream(entry->name, static_cast<FILE*>(closure));
  switch (rv) {
    case 0:
    case 6:
    case 7:
    case 39:
    case 40:
      return 0;
    default:
      abort();  // a code outside the reader's contract
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzz_util::WriteScratchFile("update.qex", data, size);

  if (QexArchive* archive = qex_open(path.c_str())) {
    qex_for_each_entry(archive, ReadWholeEntry, nullptr);
    ProductInfo info = {};
    if (qex_read_product_info(archive, &info) == 0) {
      if (!info.channel_id || !info.product_version) abort();
      qex_free_product_info(&info);
    }
    qex_close(archive);
  }

  int has_sig = 0, has_blocks = 0;
  uint32_t sig_count = 0, blocks_offset = 0, block_count = 0;
  get_qex_file_info(path.c_str(), &has_sig, &sig_count, &has_blocks, &blocks_offset, &block_count);
  ProductInfo info = {};
  if (read_product_info_block(path.c_str(), &info) == 0) qex_free_product_info(&info);

  // The update run's own path: the process-wide reader with its work buffers.
  if (gArchiveReader.Open(path.c_str()) == 0) {
    gArchiveReader.ExtractToStream("updatev3.manifest", fuzz_util::NullStream());
    if (QexArchive* archive = qex_open(path.c_str())) {
      qex_for_each_entry(archive, ExtractByName, fuzz_util::NullStream());
      qex_close(archive);
    }
    const std::string dest = fuzz_util::ScratchDir() + "/extracted";
    gArchiveReader.ExtractToFile("updatev2.manifest", dest.c_str());
    gArchiveReader.CheckProductInformation("beta, release", "1.0");
  }
  gArchiveReader.Close();
  return 0;
}

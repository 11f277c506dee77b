// Test-only helpers that build QEX archives from a short description and
// damage files in controlled ways. Link `updater_archive_testing`.
//
//   archive_testing::WriteTestArchive(path, {{"updatev3.manifest", "add \"a\"\n"},
//                                            {"a", "contents", 0755}});
// writes an archive whose entries are bzip2-compressed, ready for
// ArchiveReader::Open(path) and ExtractToFile.
#ifndef UPDATER_ARCHIVE_ARCHIVE_TEST_UTIL_H_
#define UPDATER_ARCHIVE_ARCHIVE_TEST_UTIL_H_

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace archive_testing {

struct TestEntry {
  std::string name;
  std::string contents;  // the entry's bytes before compression
  uint32_t mode = 0644;  // stored as the entry's flags
  bool compress = true;  // store as one bzip2 stream, else unchanged
};

// Everything that goes into an archive's bytes.
struct TestLayout {
  // The short layout: magic and index offset only, contents from offset 8.
  bool short_layout = false;
  std::vector<std::pair<uint32_t, std::string>> signatures;  // algorithm, bytes
  // Additional blocks as (identifier, payload); the product information block
  // of `channel`/`version` comes first unless `product_info` is false.
  bool product_info = true;
  std::string channel = "release";
  std::string version = "1.0";
  std::vector<std::pair<uint32_t, std::string>> blocks;
  std::vector<TestEntry> entries;
};

std::string U32(uint32_t v);  // four bytes, big-endian
// One bzip2 stream of `data` (block size `level`, 1 to 9), as the bzip2 tool
// writes it.
std::string Bzip2(const std::string& data, int level = 9);
// The 96-byte payload of a product information block.
std::string ProductInfoPayload(const std::string& channel, const std::string& version);
// The archive's bytes; entry contents in list order, the index in list order.
std::string BuildArchive(const TestLayout& layout);
// Writes BuildArchive of a full layout (channel "release", version "1.0") with
// the given entries. False when the file cannot be written.
bool WriteTestArchive(const std::string& path, const std::vector<TestEntry>& entries);
bool WriteBytes(const std::string& path, const std::string& bytes);

// Writes `value` big-endian at `offset` of an existing file; false on failure.
bool SetU32(const std::string& path, uint64_t offset, uint32_t value);

// A fresh Ed25519 key pair made by the openssl tool, as a release team makes
// it: the private key in `base`.pem, the public key in `base`.pub.
bool MakeKeyPair(const std::string& base);
// Signs the archive at `path` with the private keys `dir`/`names[i]`.pem.
bool SignWith(const std::string& path, const std::string& dir,
              const std::vector<std::string>& names);

// What extracting an entry gave: the result code and the bytes written.
struct Extraction {
  int code = -2;
  std::string bytes;
  bool operator==(const Extraction& o) const { return code == o.code && bytes == o.bytes; }
};
// Extracts `stored` (stored unchanged as the one entry of an archive written
// to `path`) through a reader of its own, decoded on one thread or, with
// `parallel`, on four threads from any length up. The budget is put back
// afterwards.
Extraction ExtractStored(const std::string& path, const std::string& stored, bool parallel);

// Where the index of `bytes` (an archive's contents) begins.
uint32_t IndexOffsetOf(const std::string& bytes);

}  // namespace archive_testing

#endif  // UPDATER_ARCHIVE_ARCHIVE_TEST_UTIL_H_

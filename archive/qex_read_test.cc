#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/archive_test_util.h"
#include "archive/qex.h"
#include "archive/qex_format.h"
#include "testing/test_util.h"

namespace {

using archive_testing::BuildArchive;
using archive_testing::TestLayout;
using archive_testing::U32;

// An index record; the caller adds the name's zero byte, or leaves it out.
std::string Record(uint32_t offset, uint32_t length, const std::string& name) {
  return U32(offset) + U32(length) + U32(0600) + name;
}

// A short-layout archive whose index is exactly `index` (contents "0123456789").
std::string WithIndex(const std::string& index) {
  return "QEX1" + U32(18) + "0123456789" + U32(static_cast<uint32_t>(index.size())) + index;
}

class QexReadTest : public ::testing::Test {
 protected:
  void TearDown() override { qex_close(archive_); }
  QexArchive* OpenBytes(const std::string& bytes) {
    qex_close(archive_);
    archive_ = archive_testing::WriteBytes(path_, bytes) ? qex_open(path_.c_str()) : nullptr;
    return archive_;
  }
  // The stored bytes of the first entry called `name`, read from `from` on.
  std::string Read(const char* name, uint32_t from = 0) {
    const QexEntry* e = qex_find_entry(archive_, name);
    std::string out(e ? e->length : 0, '\0');
    int n = e ? qex_read_entry(archive_, e, from, &out[0], static_cast<int>(out.size() + 1)) : -1;
    return n < 0 ? "<none>" : out.substr(0, n);
  }

  testing_util::ScopedTempDir dir_;
  std::string path_ = dir_.Sub("t.qex");
  QexArchive* archive_ = nullptr;
};

TEST_F(QexReadTest, FindVisitAndRead) {
  // An empty name (13 bytes) is fine in the middle of the index, and a final
  // record of the minimum 14 bytes is read.
  ASSERT_TRUE(OpenBytes(WithIndex(Record(9, 1, "ab") + '\0' + Record(8, 1, "\xff") + '\0' +
                                  Record(8, 2, "") + '\0' + Record(10, 8, "a") + '\0' +
                                  Record(8, 3, "a") + '\0')));
  EXPECT_EQ(Read("\xff") + Read("") + Read("ab"), "0011");
  EXPECT_EQ(Read("a", 6) + Read("a", 8) + Read("a", 9) + Read("c"), "89<none><none>");
  EXPECT_EQ(qex_bucket_of("\xff"), 255u);  // bytes are unsigned
  // Bucket order, each chain in index order; a non-zero callback result stops
  // the walk and is returned.
  auto collect = [](QexArchive*, QexEntry* e, void* names) {
    static_cast<std::vector<std::string>*>(names)->push_back(e->name);
    return e->length == 3 ? 7 : 0;
  };
  std::vector<std::string> names;
  EXPECT_EQ(qex_for_each_entry(archive_, collect, &names), 7);
  EXPECT_EQ(names, (std::vector<std::string>{"", "a", "a"}));
  // A final record without a zero byte is dropped.
  ASSERT_TRUE(OpenBytes(WithIndex(Record(8, 4, "a") + '\0' + Record(8, 1, "unterminated"))));
  EXPECT_EQ(Read("a"), "0123");
}

// Every proper prefix of a valid archive fails to open; every single-byte
// change either fails or opens an archive that can be read without harm.
// Malformed indexes fail silently.
TEST_F(QexReadTest, DamagedArchivesAreRefused) {
  TestLayout layout;
  layout.signatures = {{1, "sig"}};
  layout.blocks = {{7, "other"}};
  layout.entries = {{"updatev3.manifest", "add \"a\"\n"}, {"dir/a", "contents", 0755}};
  const std::string bytes = BuildArchive(layout), a = Record(8, 4, "a") + '\0';
  std::vector<std::string> bad = {"QEX2" + WithIndex(a).substr(4),
                                  WithIndex(""),
                                  WithIndex(a + Record(8, 2, "") + '\0'),
                                  WithIndex(a).substr(0, 18) + U32(15) + a,
                                  WithIndex(a).substr(0, 18) + U32(0xFFFFFFF0u) + a,
                                  "QEX1" + U32(0xFFFFFF00u) + WithIndex(a).substr(8)};
  for (size_t n = 1; n <= 13; ++n) bad.push_back(WithIndex(a + std::string(n, 'z')));
  for (size_t size = 0; size < bytes.size(); ++size) bad.push_back(bytes.substr(0, size));
  testing::internal::CaptureStderr();
  for (const std::string& b : bad) EXPECT_FALSE(OpenBytes(b)) << b.size();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  ArchiveReader reader;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string damaged = bytes;
    damaged[i] ^= 0xFF;
    ASSERT_TRUE(archive_testing::WriteBytes(path_, damaged));
    ProductInfo info;
    if (read_product_info_block(path_.c_str(), &info) == 0) qex_free_product_info(&info);
    if (reader.Open(path_.c_str()) != 0) continue;
    FILE* sink = fopen("/dev/null", "wb");
    reader.ExtractToStream("updatev3.manifest", sink);
    reader.ExtractToStream("dir/a", sink);
    fclose(sink);
    reader.CheckProductInformation("release", "1.0");
  }
}

// The product block is found after signatures and a block of another kind.
TEST_F(QexReadTest, ProductBlocks) {
  const std::string c63(63, 'c'), v31(31, 'v');
  const struct {
    std::string payload;
    const char* channel;  // null: the block is refused
    const char* version;
  } cases[] = {
      {c63 + '\0' + v31 + '\0', c63.c_str(), v31.c_str()},  // exactly full, no padding
      {std::string("beta\0002", 6), "beta", "2"},           // short, unterminated
      {std::string(64, 'c') + '\0' + "1" + std::string(30, '\0'), nullptr, nullptr},
      {"c" + std::string(1, '\0') + std::string(32, 'v') + std::string(62, '\0'), nullptr, nullptr},
      {archive_testing::ProductInfoPayload("c", "1") + '\0', nullptr, nullptr},  // 97 bytes
  };
  TestLayout layout;
  layout.product_info = false;
  layout.signatures = {{1, std::string(300, 's')}, {2, ""}};
  layout.entries = {{"a", "x"}};
  for (const auto& c : cases) {
    layout.blocks = {{9, "another kind"}, {kQexProductInfoBlockId, c.payload}};
    ASSERT_TRUE(archive_testing::WriteBytes(path_, BuildArchive(layout)));
    ProductInfo info = {};
    EXPECT_EQ(read_product_info_block(path_.c_str(), &info), c.channel ? 0 : -1)
        << c.payload.size();
    EXPECT_STREQ(info.channel_id, c.channel);
    EXPECT_STREQ(info.product_version, c.version);
    qex_free_product_info(&info);
  }
  // Nine signatures are refused when the walk over them is needed.
  ASSERT_TRUE(archive_testing::SetU32(path_, kQexSignatureCountPos, 9));
  int flag = 0;
  EXPECT_EQ(get_qex_file_info(path_.c_str(), &flag, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(get_qex_file_info(path_.c_str(), nullptr, nullptr, &flag, nullptr, nullptr), -1);
}

// Offsets past 2 GiB and 4 GiB - 1 work: the archive is a sparse file.
TEST_F(QexReadTest, OffsetsBeyondTwoGigabytes) {
  const uint32_t entry_offset = 0xF0000000u;
  const std::string stored = archive_testing::Bzip2("far away");
  const uint32_t size = static_cast<uint32_t>(stored.size()), index_offset = entry_offset + size;
  const std::string index = Record(entry_offset, size, "far") + '\0';
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  auto put = [fd](const std::string& bytes, off_t at) {
    return pwrite(fd, bytes.data(), bytes.size(), at) == static_cast<ssize_t>(bytes.size());
  };
  // The header and the product block, the entry and the index.
  bool ok = put(BuildArchive(TestLayout()), 0) && put(stored, entry_offset) &&
            put(U32(static_cast<uint32_t>(index.size())) + index, index_offset);
  close(fd);
  if (!ok) GTEST_SKIP() << "the file system holds no sparse file of 4 GiB here";
  ASSERT_TRUE(archive_testing::SetU32(path_, kQexIndexOffsetPos, index_offset));
  archive_ = qex_open(path_.c_str());
  ASSERT_TRUE(archive_);
  EXPECT_EQ(Read("far"), stored);
  ArchiveReader reader;
  ASSERT_EQ(reader.Open(path_.c_str()), 0);
  EXPECT_EQ(reader.ExtractToFile("far", dir_.Sub("far").c_str()), 0);
  EXPECT_EQ(testing_util::ReadFile(dir_.Sub("far")), "far away");
}

}  // namespace

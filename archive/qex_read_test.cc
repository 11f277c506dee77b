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
using archive_testing::IndexOffsetOf;
using archive_testing::TestEntry;
using archive_testing::TestLayout;
using archive_testing::WriteBytes;
using testing_util::ScopedTempDir;

std::string Record(uint32_t offset, uint32_t length, uint32_t flags, const std::string& name) {
  std::string r(12, '\0');
  auto* p = reinterpret_cast<unsigned char*>(&r[0]);
  qex_store_be32(p, offset);
  qex_store_be32(p + 4, length);
  qex_store_be32(p + 8, flags);
  return r + name;  // the caller adds the zero byte, or leaves it out
}

// A short-layout archive whose index is exactly `index` (contents "0123456789").
std::string WithIndex(const std::string& index) {
  std::string out = "QEX1" + std::string(4, '\0') + "0123456789";
  std::string size(4, '\0');
  qex_store_be32(reinterpret_cast<unsigned char*>(&size[0]), static_cast<uint32_t>(index.size()));
  qex_store_be32(reinterpret_cast<unsigned char*>(&out[4]), static_cast<uint32_t>(out.size()));
  return out + size + index;
}

class QexReadTest : public ::testing::Test {
 protected:
  QexArchive* OpenBytes(const std::string& bytes) {
    close();
    if (!WriteBytes(path_, bytes)) return nullptr;
    archive_ = qex_open(path_.c_str());
    return archive_;
  }
  void close() {
    qex_close(archive_);
    archive_ = nullptr;
  }
  void TearDown() override { close(); }

  std::string Read(const QexEntry* e) {
    std::string out(e->length, '\0');
    int n = qex_read_entry(archive_, e, 0, &out[0], static_cast<int>(out.size() + 1));
    out.resize(n > 0 ? n : 0);
    return out;
  }

  ScopedTempDir dir_;
  std::string path_ = dir_.Sub("t.qex");
  QexArchive* archive_ = nullptr;
};

int CollectNames(QexArchive*, QexEntry* e, void* closure) {
  static_cast<std::vector<std::string>*>(closure)->push_back(e->name);
  return 0;
}

TEST_F(QexReadTest, BucketValues) {
  EXPECT_EQ(qex_bucket_of("a"), 97u);
  EXPECT_EQ(qex_bucket_of("b"), 98u);
  EXPECT_EQ(qex_bucket_of("ab"), 103u);
  EXPECT_EQ(qex_bucket_of("updatev2.manifest"), 192u);
  EXPECT_EQ(qex_bucket_of("precomplete"), 192u);
  EXPECT_EQ(qex_bucket_of(""), 0u);
  EXPECT_EQ(qex_bucket_of("\xff"), 255u);  // bytes are unsigned
}

TEST_F(QexReadTest, FindVisitAndDuplicates) {
  TestLayout layout;
  layout.entries = {{"ab", "3", 0644, false},
                    {"b", "2", 0755, false},
                    {"precomplete", "first", 0600, false},
                    {"a", "1", 0644, false},
                    {"updatev2.manifest", "m", 0644, false},
                    {"precomplete", "second", 0644, false}};
  ASSERT_TRUE(OpenBytes(BuildArchive(layout)));
  QexEntry* e = qex_find_entry(archive_, "precomplete");
  ASSERT_TRUE(e);
  EXPECT_EQ(Read(e), "first");
  EXPECT_EQ(e->flags, 0600u);
  EXPECT_EQ(Read(qex_find_entry(archive_, "b")), "2");
  EXPECT_EQ(qex_find_entry(archive_, "c"), nullptr);
  EXPECT_EQ(qex_find_entry(archive_, "a\xff"), nullptr);

  // Bucket order, each chain in index order.
  std::vector<std::string> names;
  EXPECT_EQ(qex_for_each_entry(archive_, CollectNames, &names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "ab", "precomplete", "updatev2.manifest",
                                             "precomplete"}));
  // A non-zero callback result stops the walk and is returned.
  int calls = 0;
  EXPECT_EQ(
      qex_for_each_entry(
          archive_, [](QexArchive*, QexEntry*, void* c) { return ++*static_cast<int*>(c) * 7; },
          &calls),
      7);
  EXPECT_EQ(calls, 1);
}

TEST_F(QexReadTest, ReadEntryPositions) {
  TestLayout layout;
  layout.entries = {{"x", "0123456789", 0644, false}, {"y", "abc", 0644, false}};
  ASSERT_TRUE(OpenBytes(BuildArchive(layout)));
  const QexEntry* x = qex_find_entry(archive_, "x");
  const QexEntry* y = qex_find_entry(archive_, "y");
  char buf[16];
  EXPECT_EQ(qex_read_entry(archive_, x, 10, buf, 4), 0);
  EXPECT_EQ(qex_read_entry(archive_, x, 11, buf, 4), -1);
  EXPECT_EQ(qex_read_entry(archive_, x, 0, buf, 0), -1);
  // Reading in pieces, interleaved with another entry, equals reading at once.
  std::string pieces;
  uint32_t pos = 0;
  int n;
  while ((n = qex_read_entry(archive_, x, pos, buf, 3)) > 0) {
    EXPECT_EQ(n, pos + 3 <= 10 ? 3 : 1);
    pieces.append(buf, n);
    pos += n;
    ASSERT_EQ(qex_read_entry(archive_, y, 1, buf, 16), 2);
  }
  EXPECT_EQ(n, 0);
  EXPECT_EQ(pieces, "0123456789");
  EXPECT_EQ(Read(y), "abc");
}

TEST_F(QexReadTest, MalformedIndexes) {
  const std::string a = Record(8, 4, 0644, "a") + '\0';
  ASSERT_TRUE(OpenBytes(WithIndex(a)));
  EXPECT_EQ(Read(qex_find_entry(archive_, "a")), "0123");

  testing::internal::CaptureStderr();
  EXPECT_FALSE(OpenBytes(WithIndex("")));  // index size 0
  for (size_t extra = 1; extra <= 13; ++extra) {
    EXPECT_FALSE(OpenBytes(WithIndex(a + std::string(extra, 'z')))) << extra;
  }
  std::string bad_magic = WithIndex(a);
  bad_magic[3] = '2';
  EXPECT_FALSE(OpenBytes(bad_magic));
  EXPECT_FALSE(OpenBytes("QEX"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // all of these fail silently

  // A final record of 14 bytes or more without a zero byte is dropped.
  ASSERT_TRUE(OpenBytes(WithIndex(a + Record(8, 1, 0644, "unterminated"))));
  EXPECT_TRUE(qex_find_entry(archive_, "a"));
  // An empty name (13 bytes) is fine in the middle, not at the end.
  ASSERT_TRUE(OpenBytes(WithIndex(Record(8, 2, 0644, "") + '\0' + a)));
  EXPECT_EQ(Read(qex_find_entry(archive_, "")), "01");
  EXPECT_FALSE(OpenBytes(WithIndex(a + Record(8, 2, 0644, "") + '\0')));
}

TEST_F(QexReadTest, IndexSizeAndOffsetMustFitInTheFile) {
  std::string bytes = WithIndex(Record(8, 4, 0644, "a") + '\0');
  const uint32_t index_offset = IndexOffsetOf(bytes);
  ASSERT_TRUE(OpenBytes(bytes));
  // One byte more than the file holds after the size field.
  ASSERT_TRUE(archive_testing::SetU32(path_, index_offset, 18));
  close();
  EXPECT_FALSE(qex_open(path_.c_str()));
  ASSERT_TRUE(archive_testing::SetU32(path_, index_offset, 0xFFFFFFF0u));
  EXPECT_FALSE(qex_open(path_.c_str()));
  ASSERT_TRUE(archive_testing::SetU32(path_, index_offset, 17));
  ASSERT_TRUE(archive_testing::SetU32(path_, kQexIndexOffsetPos, 0xFFFFFF00u));
  EXPECT_FALSE(qex_open(path_.c_str()));
}

// Every proper prefix of a valid archive fails to open; every single-byte
// change either fails or opens an archive that can be read without harm.
TEST_F(QexReadTest, EveryPrefixAndEveryFlippedByte) {
  TestLayout layout;
  layout.signatures = {{1, "sig"}};
  layout.blocks = {{7, "other"}};
  layout.entries = {{"updatev3.manifest", "add \"a\"\n"}, {"dir/a", "contents", 0755}};
  const std::string bytes = BuildArchive(layout);
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(OpenBytes(bytes.substr(0, size))) << "prefix " << size;
  }
  ArchiveReader reader;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string damaged = bytes;
    damaged[i] ^= 0xFF;
    ASSERT_TRUE(WriteBytes(path_, damaged));
    ProductInfo info;
    if (read_product_info_block(path_.c_str(), &info) == 0) qex_free_product_info(&info);
    if (reader.Open(path_.c_str()) != 0) continue;
    FILE* sink = fopen("/dev/null", "wb");
    reader.ExtractToStream("updatev3.manifest", sink);
    reader.ExtractToStream("dir/a", sink);
    fclose(sink);
    reader.CheckProductInformation("release", "1.0");
  }
  reader.Close();
}

TEST_F(QexReadTest, StreamInfoAndLayouts) {
  int has_sig = -1, has_blocks = -1;
  uint32_t sig_count = 99, blocks_offset = 0, block_count = 0;
  TestLayout layout;
  layout.entries = {{"a", "x"}};

  layout.short_layout = true;
  ASSERT_TRUE(WriteBytes(path_, BuildArchive(layout)));
  ASSERT_EQ(get_qex_file_info(path_.c_str(), &has_sig, &sig_count, &has_blocks, &blocks_offset,
                              &block_count),
            0);
  EXPECT_EQ(has_sig, 0);
  EXPECT_EQ(sig_count, 0u);
  EXPECT_EQ(has_blocks, 0);
  ProductInfo info;
  EXPECT_EQ(read_product_info_block(path_.c_str(), &info), -1);
  EXPECT_EQ(get_qex_file_info(path_.c_str(), nullptr, &sig_count, nullptr, nullptr, nullptr), -1);

  layout.short_layout = false;
  layout.signatures = {{1, std::string(300, 's')}, {2, ""}};
  layout.blocks = {{5, "skip me"}};
  const std::string bytes = BuildArchive(layout);
  ASSERT_TRUE(WriteBytes(path_, bytes));
  ASSERT_EQ(get_qex_file_info(path_.c_str(), &has_sig, &sig_count, &has_blocks, &blocks_offset,
                              &block_count),
            0);
  EXPECT_EQ(has_sig, 1);
  EXPECT_EQ(sig_count, 2u);
  EXPECT_EQ(has_blocks, 1);
  EXPECT_EQ(blocks_offset, 20u + 8 + 300 + 8 + 4);
  EXPECT_EQ(block_count, 2u);
  ASSERT_EQ(read_product_info_block(path_.c_str(), &info), 0);  // after a block of another kind
  EXPECT_STREQ(info.channel_id, "release");
  EXPECT_STREQ(info.product_version, "1.0");
  qex_free_product_info(&info);

  // Nine signatures are refused when the walk over them is needed.
  ASSERT_TRUE(archive_testing::SetU32(path_, kQexSignatureCountPos, 9));
  EXPECT_EQ(get_qex_file_info(path_.c_str(), &has_sig, &sig_count, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(sig_count, 9u);
  EXPECT_EQ(get_qex_file_info(path_.c_str(), nullptr, nullptr, &has_blocks, nullptr, nullptr), -1);
  EXPECT_EQ(read_product_info_block(path_.c_str(), &info), -1);

  // Signatures but no additional blocks.
  layout.signatures = {{1, "abc"}};
  layout.product_info = false;
  layout.blocks.clear();
  ASSERT_TRUE(WriteBytes(path_, BuildArchive(layout)));
  ASSERT_EQ(
      get_qex_file_info(path_.c_str(), &has_sig, nullptr, &has_blocks, &blocks_offset, nullptr), 0);
  EXPECT_EQ(has_sig, 1);
  EXPECT_EQ(has_blocks, 0);

  testing::internal::CaptureStderr();
  std::string missing = dir_.Sub("missing");
  EXPECT_EQ(get_qex_file_info(missing.c_str(), &has_sig, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(read_product_info_block(missing.c_str(), &info), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: could not open file in get_qex_file_info()\n" + missing +
                ": No such file or directory\n"
                "ERROR: could not open file in read_product_info_block()\n" +
                missing + ": No such file or directory\n");
}

TEST_F(QexReadTest, ProductBlockLimits) {
  struct Case {
    std::string payload;
    const char* channel;  // null: the block is refused
    const char* version;
  };
  const std::string c63(63, 'c'), v31(31, 'v');
  const std::vector<Case> cases = {
      {c63 + '\0' + v31 + '\0', c63.c_str(), v31.c_str()},  // exactly full, no padding
      {std::string("beta\0"
                   "2",
                   6),
       "beta", "2"},  // short, unterminated payload
      {std::string(64, 'c') + '\0' + "1" + std::string(30, '\0'), nullptr, nullptr},
      {"c" + std::string(1, '\0') + std::string(32, 'v') + std::string(62, '\0'), nullptr, nullptr},
      {archive_testing::ProductInfoPayload("c", "1") + '\0', nullptr, nullptr},  // 97 bytes
      {"", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    TestLayout layout;
    layout.product_info = false;
    layout.blocks = {{kQexProductInfoBlockId, c.payload}};
    layout.entries = {{"a", "x"}};
    ASSERT_TRUE(OpenBytes(BuildArchive(layout)));
    ProductInfo info = {};
    ASSERT_EQ(qex_read_product_info(archive_, &info), c.channel ? 0 : -1) << c.payload.size();
    if (c.channel) {
      EXPECT_STREQ(info.channel_id, c.channel);
      EXPECT_STREQ(info.product_version, c.version);
      qex_free_product_info(&info);
    } else {
      EXPECT_EQ(info.channel_id, nullptr);
      EXPECT_EQ(info.product_version, nullptr);
    }
  }
}

// Offsets past 2 GiB and 4 GiB - 1 work: the archive is a sparse file.
TEST_F(QexReadTest, OffsetsBeyondTwoGigabytes) {
  const uint32_t entry_offset = 0xF0000000u;
  const std::string stored = archive_testing::Bzip2("far away");
  const uint32_t index_offset = entry_offset + static_cast<uint32_t>(stored.size());
  // Header and product block; the index offset is set at the end.
  const std::string head = BuildArchive(TestLayout());
  std::string index = Record(entry_offset, static_cast<uint32_t>(stored.size()), 0644, "far");
  index += '\0';
  std::string size(4, '\0');
  qex_store_be32(reinterpret_cast<unsigned char*>(&size[0]), static_cast<uint32_t>(index.size()));
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::string tail = size + index;
  bool ok = pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
            pwrite(fd, stored.data(), stored.size(), entry_offset) ==
                static_cast<ssize_t>(stored.size()) &&
            pwrite(fd, tail.data(), tail.size(), index_offset) == static_cast<ssize_t>(tail.size());
  ::close(fd);
  if (!ok) GTEST_SKIP() << "the file system holds no sparse file of 4 GiB here";
  ASSERT_TRUE(archive_testing::SetU32(path_, kQexIndexOffsetPos, index_offset));

  archive_ = qex_open(path_.c_str());
  ASSERT_TRUE(archive_);
  const QexEntry* e = qex_find_entry(archive_, "far");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->offset, entry_offset);
  EXPECT_EQ(Read(e), stored);
  close();
  ArchiveReader reader;
  ASSERT_EQ(reader.Open(path_.c_str()), 0);
  std::string out = dir_.Sub("far");
  EXPECT_EQ(reader.ExtractToFile("far", out.c_str()), 0);
  EXPECT_EQ(testing_util::ReadFile(out), "far away");
  reader.Close();
}

}  // namespace

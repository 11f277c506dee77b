#include <gtest/gtest.h>
#include <sys/stat.h>
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
using archive_testing::WriteBytes;
using testing_util::Exists;
using testing_util::ModeOf;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

uint32_t U32At(const std::string& bytes, size_t offset) {
  return qex_load_be32(reinterpret_cast<const unsigned char*>(bytes.data()) + offset);
}

// Runs each case inside a fresh temporary directory, since entry names are
// relative paths.
class QexWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(getcwd(old_cwd_, sizeof(old_cwd_)));
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    umask(022);
  }
  void TearDown() override { ASSERT_EQ(chdir(old_cwd_), 0); }

  ProductInfo Info(const char* channel, const char* version) {
    return ProductInfo{const_cast<char*>(channel), const_cast<char*>(version)};
  }

  ScopedTempDir dir_;
  char old_cwd_[4096];
  ProductInfo release_ = Info("release", "1.0");
};

TEST_F(QexWriteTest, LayoutOfAOneFileArchive) {
  WriteFile("a", "0123456789", 0640);
  const char* files[] = {"a"};
  ASSERT_EQ(qex_create_archive("out.qex", 1, files, &release_), 0);
  const std::string bytes = ReadFile("out.qex");
  ASSERT_EQ(bytes.size(), 156u);
  EXPECT_EQ(bytes.substr(0, 4), "QEX1");
  EXPECT_EQ(U32At(bytes, 4), 138u);
  EXPECT_EQ(U32At(bytes, 8), 0u);  // high half of the archive size
  EXPECT_EQ(U32At(bytes, 12), 156u);
  EXPECT_EQ(U32At(bytes, 16), 0u);  // signatures
  EXPECT_EQ(U32At(bytes, 20), 1u);  // additional blocks
  EXPECT_EQ(U32At(bytes, 24), 104u);
  EXPECT_EQ(U32At(bytes, 28), 1u);
  EXPECT_EQ(bytes.substr(32, 96), archive_testing::ProductInfoPayload("release", "1.0"));
  EXPECT_EQ(bytes.substr(128, 10), "0123456789");
  EXPECT_EQ(U32At(bytes, 138), 14u);  // index size
  EXPECT_EQ(U32At(bytes, 142), 128u);
  EXPECT_EQ(U32At(bytes, 146), 10u);
  EXPECT_EQ(U32At(bytes, 150), 0640u);
  EXPECT_EQ(bytes.substr(154), std::string("a\0", 2));
}

TEST_F(QexWriteTest, CreationFailuresLeaveNoFile) {
  const char* none[] = {nullptr};
  EXPECT_EQ(qex_create_archive("empty.qex", 0, none, &release_), -1);
  EXPECT_FALSE(Exists("empty.qex"));

  WriteFile("a", "x");
  const char* missing[] = {"a", "no-such-file"};
  testing::internal::CaptureStderr();
  EXPECT_EQ(qex_create_archive("missing.qex", 2, missing, &release_), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: file not found: no-such-file\n");
  EXPECT_FALSE(Exists("missing.qex"));

  // A directory opens but cannot be read: no archive that claims its bytes.
  mkdir("dir", 0755);
  const char* dir[] = {"dir"};
  testing::internal::CaptureStderr();
  EXPECT_EQ(qex_create_archive("dir.qex", 1, dir, &release_), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(Exists("dir.qex"));

  const char* one[] = {"a"};
  const std::string c64(64, 'c');
  ProductInfo long_channel = Info(c64.c_str(), "1");
  EXPECT_EQ(qex_create_archive("channel.qex", 1, one, &long_channel), -1);
  EXPECT_FALSE(Exists("channel.qex"));

  testing::internal::CaptureStderr();
  EXPECT_EQ(qex_create_archive("no/such/dir.qex", 1, one, &release_), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: could not create target file: no/such/dir.qex\n");
}

TEST_F(QexWriteTest, ProductBlockForms) {
  FILE* f = fopen("block", "wb");
  ASSERT_TRUE(f);
  const std::string c63(63, 'c'), v31(31, 'v');
  ProductInfo full = Info(c63.c_str(), v31.c_str());
  QexIndexBuilder builder = {};
  builder.next_offset = 24;
  EXPECT_EQ(qex_write_product_info(f, &builder, &full), 0);
  EXPECT_EQ(builder.next_offset, 128u);
  const std::string v32 = v31 + "v";
  ProductInfo too_long = Info(c63.c_str(), v32.c_str());
  EXPECT_EQ(qex_write_product_info(f, &builder, &too_long), -1);
  ProductInfo missing = Info(nullptr, "1");
  EXPECT_EQ(qex_write_product_info(f, nullptr, &missing), -1);
  EXPECT_EQ(builder.next_offset, 128u);
  fclose(f);
  EXPECT_EQ(ReadFile("block"), std::string("\0\0\0\x68\0\0\0\x01", 8) + c63 + '\0' + v31 + '\0');
}

TEST_F(QexWriteTest, CompressedEntriesRoundTripThroughTheReader) {
  const std::string big = testing_util::RandomBytes(300000, 5);
  WriteFile("src/one", big, 0755);
  WriteFile("src/two", "", 0600);
  const QexSource sources[] = {{"bin/one", "src/one"}, {"two", "src/two"}};
  ASSERT_EQ(qex_create_archive_ex("c.qex", 2, sources, &release_, QEX_STORE_BZIP2), 0);

  ArchiveReader reader;
  ASSERT_EQ(reader.Open("c.qex"), 0);
  EXPECT_EQ(reader.ExtractToFile("bin/one", "one.out"), 0);
  EXPECT_TRUE(ReadFile("one.out") == big);
  EXPECT_EQ(ModeOf("one.out"), 0755u);
  EXPECT_EQ(reader.ExtractToFile("two", "two.out"), 0);
  EXPECT_EQ(ReadFile("two.out"), "");
  EXPECT_EQ(ModeOf("two.out"), 0600u);
  EXPECT_EQ(reader.ExtractToFile("src/one", "x"), 6);  // stored under its name, not its path
  EXPECT_EQ(reader.CheckProductInformation("release", "1.0"), 0);
  reader.Close();

  // The stored bytes are what the bzip2 tool writes for the same input.
  QexArchive* archive = qex_open("c.qex");
  ASSERT_TRUE(archive);
  const QexEntry* e = qex_find_entry(archive, "bin/one");
  std::string stored(e->length, '\0');
  ASSERT_EQ(qex_read_entry(archive, e, 0, &stored[0], static_cast<int>(e->length)),
            static_cast<int>(e->length));
  EXPECT_TRUE(stored == archive_testing::Bzip2(big));
  qex_close(archive);
}

TEST_F(QexWriteTest, RefreshReplacesOnlyTheBlock) {
  WriteFile("a", "payload");
  const char* files[] = {"a"};
  ASSERT_EQ(qex_create_archive("r.qex", 1, files, &release_), 0);
  const std::string before = ReadFile("r.qex");
  ProductInfo beta = Info("beta", "2.0b1");
  ASSERT_EQ(qex_refresh_product_info("r.qex", &beta), 0);
  const std::string after = ReadFile("r.qex");
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, 32), before.substr(0, 32));
  EXPECT_EQ(after.substr(32, 96), archive_testing::ProductInfoPayload("beta", "2.0b1"));
  EXPECT_EQ(after.substr(128), before.substr(128));
  ProductInfo read = {};
  ASSERT_EQ(read_product_info_block("r.qex", &read), 0);
  EXPECT_STREQ(read.channel_id, "beta");
  EXPECT_STREQ(read.product_version, "2.0b1");
  qex_free_product_info(&read);

  const std::string v32(32, 'v');
  ProductInfo bad = Info("c", v32.c_str());
  EXPECT_EQ(qex_refresh_product_info("r.qex", &bad), -1);
  EXPECT_EQ(ReadFile("r.qex"), after);
}

// Each archive that the 104-byte write would damage is refused and unchanged.
TEST_F(QexWriteTest, RefreshRefusesWhatItWouldDamage) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string message;
  };
  TestLayout signed_layout;
  signed_layout.signatures = {{1, "signature"}};
  signed_layout.entries = {{"a", "x"}};
  TestLayout short_layout;
  short_layout.short_layout = true;
  short_layout.entries = {{"a", std::string(200, 'e'), 0644, false}};
  TestLayout small_block;
  small_block.product_info = false;
  small_block.blocks = {{kQexProductInfoBlockId, std::string("c\0001\0", 4)}};
  small_block.entries = {{"a", "x"}};
  TestLayout no_block;
  no_block.product_info = false;
  no_block.blocks = {{9, "other"}};
  no_block.entries = {{"a", "x"}};
  std::string not_qex = BuildArchive(no_block);
  not_qex[0] = 'Z';

  const std::vector<Case> cases = {
      {"signed", BuildArchive(signed_layout), "ERROR: Cannot refresh a signed QEX\n"},
      {"short", BuildArchive(short_layout),
       "ERROR: Could not refresh because block does not exist\n"},
      {"small block", BuildArchive(small_block),
       "ERROR: Cannot refresh a Product Information Block of 12 bytes at 24\n"},
      {"no block", BuildArchive(no_block),
       "ERROR: Could not refresh because block does not exist\n"},
      {"not qex", not_qex, "ERROR: Cannot refresh a file that is not a QEX archive: r.qex\n"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteBytes("r.qex", c.bytes));
    testing::internal::CaptureStderr();
    EXPECT_EQ(qex_refresh_product_info("r.qex", &release_), -1) << c.what;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message) << c.what;
    EXPECT_TRUE(ReadFile("r.qex") == c.bytes) << c.what;
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(qex_refresh_product_info("missing.qex", &release_), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: could not open file in get_qex_file_info()\n"
            "missing.qex: No such file or directory\n"
            "ERROR: Could not obtain QEX information.\n");
}

TEST_F(QexWriteTest, ExtractAllWritesStoredBytesBelowTheDirectory) {
  TestLayout layout;
  layout.entries = {{"d/e/f", "compressed bytes", 0750}, {"top", "raw", 0604, false}};
  ASSERT_TRUE(WriteBytes("x.qex", BuildArchive(layout)));
  mkdir("out", 0755);
  ASSERT_EQ(chdir("out"), 0);
  EXPECT_EQ(qex_extract_all("../x.qex"), 0);
  ASSERT_EQ(chdir(".."), 0);
  EXPECT_EQ(ModeOf("out/d"), 0755u);
  EXPECT_EQ(ModeOf("out/d/e"), 0755u);
  EXPECT_EQ(ModeOf("out/d/e/f"), 0750u);
  EXPECT_EQ(ReadFile("out/d/e/f"), archive_testing::Bzip2("compressed bytes"));
  EXPECT_EQ(ReadFile("out/top"), "raw");
  EXPECT_EQ(ModeOf("out/top"), 0604u);
  EXPECT_EQ(qex_extract_all("missing.qex"), -1);
}

TEST_F(QexWriteTest, ExtractAllRefusesNamesThatLeaveTheDirectory) {
  const std::string outside = dir_.Sub("outside");
  for (const std::string& name :
       {std::string("../outside"), outside, std::string("a/../../outside"), std::string(".."),
        std::string("d/..")}) {
    TestLayout layout;
    layout.entries = {{name, "evil", 0644, false}};
    ASSERT_TRUE(WriteBytes("evil.qex", BuildArchive(layout)));
    mkdir("box", 0755);
    ASSERT_EQ(chdir("box"), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(qex_extract_all("../evil.qex"), -1) << name;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(name), std::string::npos);
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_FALSE(Exists(outside)) << name;
    EXPECT_FALSE(Exists("box/a")) << name;
  }
  // Dots inside names are fine.
  TestLayout fine;
  fine.entries = {{"..a/b..", "ok", 0644, false}, {"./c", "ok", 0644, false}};
  ASSERT_TRUE(WriteBytes("fine.qex", BuildArchive(fine)));
  ASSERT_EQ(chdir("box"), 0);
  EXPECT_EQ(qex_extract_all("../fine.qex"), 0);
  ASSERT_EQ(chdir(".."), 0);
  EXPECT_EQ(ReadFile("box/..a/b.."), "ok");
  EXPECT_EQ(ReadFile("box/c"), "ok");
}

}  // namespace

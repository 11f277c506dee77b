#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "archive/qex.h"
#include "archive/qex_format.h"
#include "testing/in_temp_dir.h"
#include "testing/test_util.h"

namespace {

using archive_testing::BuildArchive;
using archive_testing::TestLayout;
using archive_testing::WriteBytes;
using testing_util::Exists;
using testing_util::ReadFile;
using testing_util::WriteFile;

ProductInfo Info(const std::string& channel, const std::string& version) {
  return ProductInfo{const_cast<char*>(channel.c_str()), const_cast<char*>(version.c_str()),
                     nullptr};
}

class QexWriteTest : public testing_util::InTempDirTest {
 protected:
  const std::string release_ = "release", one_ = "1.0", v32_ = std::string(32, 'v');
  ProductInfo info_ = Info(release_, one_);
};

TEST_F(QexWriteTest, CreateWritesTheDocumentedLayoutOrNoFile) {
  WriteFile("a", "0123456789", 0640);
  const char* files[] = {"a"};
  ASSERT_EQ(qex_create_archive("out.qex", 1, files, &info_), 0);
  TestLayout layout;
  layout.entries = {{"a", "0123456789", 0640, false}};
  EXPECT_TRUE(ReadFile("out.qex") == BuildArchive(layout));

  mkdir("dir", 0755);  // opens, but cannot be read
  const char* none[] = {nullptr};
  const char* missing[] = {"a", "no-such-file"};
  const char* dir[] = {"dir"};
  const std::string c64(64, 'c');
  ProductInfo long_channel = Info(c64, one_), long_version = Info(release_, v32_);
  testing::internal::CaptureStderr();
  EXPECT_EQ(qex_create_archive("x.qex", 0, none, &info_), -1);
  EXPECT_EQ(qex_create_archive("x.qex", 2, missing, &info_), -1);
  EXPECT_EQ(qex_create_archive("x.qex", 1, dir, &info_), -1);
  EXPECT_EQ(qex_create_archive("x.qex", 1, files, &long_channel), -1);
  EXPECT_EQ(qex_create_archive("x.qex", 1, files, &long_version), -1);
  EXPECT_FALSE(Exists("x.qex"));
  EXPECT_EQ(qex_create_archive("no/such/dir.qex", 1, files, &info_), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: file not found: no-such-file\nERROR: could not read file in "
            "qex_concat_file()\ndir: Is a directory\nERROR: could not create target file: "
            "no/such/dir.qex\n");

  // The writer's own cap, on a sparse file: an archive of exactly 500 MiB is
  // written, one a byte larger is not.
  const char* big[] = {"big"};
  const off_t around = kQexCreatedContentStart + 4 + kQexIndexRecordHeaderSize + sizeof("big");
  for (off_t over : {1, 0}) {
    WriteFile("big", "");
    ASSERT_EQ(0, truncate("big", kQexMaxCreatedSize - around + over));
    EXPECT_EQ(over ? -1 : 0, qex_create_archive("big.qex", 1, big, &info_)) << over;
    struct stat st = {};
    EXPECT_EQ(over ? 0 : off_t{kQexMaxCreatedSize}, stat("big.qex", &st) == 0 ? st.st_size : 0);
    unlink("big.qex");
  }
}

TEST_F(QexWriteTest, RefreshReplacesOnlyTheBlockOfWhatItCanRefresh) {
  WriteFile("a", "payload");
  const char* files[] = {"a"};
  ASSERT_EQ(qex_create_archive("r.qex", 1, files, &info_), 0);
  const std::string before = ReadFile("r.qex"), beta = "beta", version = "2.0b1";
  ProductInfo next = Info(beta, version), bad = Info(beta, v32_);
  ASSERT_EQ(qex_refresh_product_info("r.qex", &next), 0);
  const std::string after = ReadFile("r.qex");
  EXPECT_TRUE(after == before.substr(0, 32) + archive_testing::ProductInfoPayload(beta, version) +
                           before.substr(128));
  // A version that does not fit changes nothing either.
  EXPECT_EQ(qex_refresh_product_info("r.qex", &bad), -1);
  EXPECT_TRUE(ReadFile("r.qex") == after);

  // Each archive that the 104-byte write would damage is refused and unchanged.
  TestLayout signed_layout, short_layout, small_block, no_block;
  signed_layout.signatures = {{1, "signature"}};
  short_layout.short_layout = true;
  small_block.product_info = no_block.product_info = false;
  small_block.blocks = {{kQexProductInfoBlockId, std::string("c\0001\0", 4)}};
  no_block.blocks = {{9, "other"}};
  for (TestLayout* l : {&signed_layout, &short_layout, &small_block, &no_block}) {
    l->entries = {{"a", std::string(200, 'e'), 0644, false}};
  }
  std::string not_qex = BuildArchive(no_block);
  not_qex[0] = 'Z';
  for (const std::string& bytes : {BuildArchive(signed_layout), BuildArchive(short_layout),
                                   BuildArchive(small_block), BuildArchive(no_block), not_qex}) {
    ASSERT_TRUE(WriteBytes("r.qex", bytes));
    EXPECT_EQ(qex_refresh_product_info("r.qex", &info_), -1) << bytes.size();
    EXPECT_TRUE(ReadFile("r.qex") == bytes) << bytes.size();
  }
}

}  // namespace

// The application id block: written after the product information when an id
// is given, read back, rewritten by a refresh but never added, and refused
// when malformed or invalid.
TEST_F(QexWriteTest, AppIdBlockRoundTripsAndIsValidated) {
  const struct {
    std::string id;
    int valid;
  } ids[] = {{"org.example.app", 1},
             {"a", 1},
             {"Ab-c_d.9", 1},
             {"", 0},
             {"9app", 0},
             {".a", 0},
             {"a.", 0},
             {"a..b", 0},
             {"a/b", 0},
             {"a b", 0},
             {std::string(127, 'a'), 1},
             {std::string(128, 'a'), 0},
             {"caf\xc3\xa9", 0}};
  for (const auto& c : ids) EXPECT_EQ(qex_app_id_is_valid(c.id.c_str()), c.valid) << c.id;
  EXPECT_EQ(qex_app_id_is_valid(nullptr), 0);

  auto block = [](const std::string& id) { return id + std::string(128 - id.size(), '\0'); };
  WriteFile("a", "payload");
  const char* files[] = {"a"};
  std::string app = "org.example.app", other = "org.example.other", bad = "../etc";
  ProductInfo with_id = info_, other_id = info_, bad_id = info_;
  with_id.app_id = &app[0];
  other_id.app_id = &other[0];
  bad_id.app_id = &bad[0];
  EXPECT_EQ(qex_create_archive("x.qex", 1, files, &bad_id), -1);
  EXPECT_FALSE(Exists("x.qex"));
  ASSERT_EQ(qex_create_archive("id.qex", 1, files, &with_id), 0);
  TestLayout layout;
  layout.blocks = {{kQexAppIdBlockId, block(app)}};
  layout.entries = {{"a", "payload", 0644, false}};
  EXPECT_TRUE(ReadFile("id.qex") == BuildArchive(layout));

  // What a reader finds: the id after each refresh, none for a malformed block.
  auto read = [](const char* path) {
    ProductInfo info = {};
    std::string id = read_product_info_block(path, &info) != 0 ? "unreadable"
                     : info.app_id                             ? info.app_id
                                                               : "none";
    qex_free_product_info(&info);
    return id;
  };
  EXPECT_EQ(read("id.qex"), app);
  ASSERT_EQ(qex_refresh_product_info("id.qex", &other_id), 0);
  EXPECT_EQ(read("id.qex"), other);
  ASSERT_EQ(qex_refresh_product_info("id.qex", &info_), 0);  // no id given: kept
  EXPECT_EQ(read("id.qex"), other);
  testing::internal::CaptureStderr();
  EXPECT_EQ(qex_refresh_product_info("id.qex", &bad_id), -1);
  ASSERT_EQ(qex_create_archive("plain.qex", 1, files, &info_), 0);
  const std::string plain = ReadFile("plain.qex");
  EXPECT_EQ(qex_refresh_product_info("plain.qex", &with_id), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(read("id.qex"), other);
  EXPECT_TRUE(ReadFile("plain.qex") == plain);
  EXPECT_EQ(read("plain.qex"), "none");

  const std::vector<std::pair<uint32_t, std::string>> malformed[] = {
      {{kQexAppIdBlockId, block(app).substr(1)}},
      {{kQexAppIdBlockId, block("9lives")}},
      {{kQexAppIdBlockId, block(app)}, {kQexAppIdBlockId, block(app)}}};
  for (const auto& blocks : malformed) {
    layout.blocks = blocks;
    ASSERT_TRUE(WriteBytes("m.qex", BuildArchive(layout)));
    EXPECT_EQ(read("m.qex"), "unreadable") << blocks.size();
  }
}

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/archive_test_util.h"
#include "archive/decoder_budget.h"
#include "archive/qex.h"
#include "archive/qex_format.h"
#include "testing/in_temp_dir.h"
#include "testing/test_util.h"

namespace {

using archive_testing::BuildArchive;
using archive_testing::Bzip2;
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

// Identical contents are stored once, in both store modes: a repeat's record
// takes the first one's offset and length, and its own mode; contents of the
// same size but other bytes are stored apart. Every record reads back its own
// contents, through the reader on one or several threads and through a
// further decoder, also once the archive is signed. Records that overlap
// without matching are read as before: each its own range.
TEST_F(QexWriteTest, IdenticalContentsAreStoredOnce) {
  const std::string big = testing_util::RandomBytes(400000, 7);
  const struct {
    const char* name;
    std::string contents;
    mode_t mode;
    const char* same_as;
  } files[] = {{"a", "same bytes", 0644, nullptr},
               {"b", "other byte", 0644, nullptr},
               {"c", "same bytes", 0600, "a"},
               {"d", big, 0755, nullptr},
               {"e", "", 0644, nullptr},
               {"f", big, 0644, "d"},
               {"g", "", 0640, "e"},
               {"h", "same bytes", 0644, "a"}};
  std::vector<QexSource> sources;
  for (const auto& f : files) {
    WriteFile(f.name, f.contents, f.mode);
    sources.push_back(QexSource{f.name, f.name});
  }
  for (int store : {QEX_STORE_RAW, QEX_STORE_BZIP2}) {
    ASSERT_EQ(qex_create_archive_ex("s.qex", 8, sources.data(), &info_, store), 0);
    QexArchive* archive = qex_open("s.qex");
    ASSERT_NE(archive, nullptr);
    const std::string bytes = ReadFile("s.qex");
    uint64_t once = 0;
    for (const auto& f : files) {
      const QexEntry* e = qex_find_entry(archive, f.name);
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->flags, f.mode) << f.name;
      EXPECT_TRUE(bytes.substr(e->offset, e->length) ==
                  (store == QEX_STORE_RAW ? f.contents : Bzip2(f.contents)))
          << f.name << " " << store;
      const QexEntry* first = f.same_as ? qex_find_entry(archive, f.same_as) : e;
      EXPECT_EQ(e->offset, first->offset) << f.name;
      EXPECT_EQ(e->length, first->length) << f.name;
      if (!f.same_as) once += e->length;
    }
    qex_close(archive);
    EXPECT_EQ(archive_testing::IndexOffsetOf(bytes), kQexCreatedContentStart + once);
  }
  ASSERT_TRUE(archive_testing::MakeKeyPair("k") && archive_testing::SignWith("s.qex", ".", {"k"}));
  QexKeySet* keys = qex_read_public_keys("k.pub");
  EXPECT_EQ(qex_verify_archive("s.qex", keys, nullptr, nullptr), QEX_VERIFIED);
  qex_free_keys(keys);
  const int capacity = gDecoderBudget.capacity();
  gDecoderBudget.SetCapacity(4);
  for (uint32_t parallel_from : {UINT32_MAX, 1u}) {
    ArchiveReader reader;
    ASSERT_EQ(reader.Open("s.qex"), 0);
    reader.set_parallel_decode_min_length(parallel_from);
    ArchiveDecoder decoder(&reader);
    for (const auto& f : files) {
      ASSERT_EQ(reader.ExtractToFile(f.name, "out"), 0) << f.name;
      EXPECT_TRUE(ReadFile("out") == f.contents) << f.name << " " << parallel_from;
      ASSERT_EQ(decoder.ExtractToFile(f.name, "early", -1, nullptr), 0);
      EXPECT_TRUE(ReadFile("early") == f.contents) << f.name;
    }
  }
  gDecoderBudget.SetCapacity(capacity);

  // "b" made to start two bytes into "a": it reads those bytes and the start
  // of its own, and the reader still opens the archive.
  ASSERT_EQ(qex_create_archive_ex("s.qex", 2, sources.data(), &info_, QEX_STORE_RAW), 0);
  const uint32_t b_record = archive_testing::IndexOffsetOf(ReadFile("s.qex")) + 4 + 14;
  ASSERT_TRUE(archive_testing::SetU32("s.qex", b_record, kQexCreatedContentStart + 2));
  QexArchive* archive = qex_open("s.qex");
  ASSERT_NE(archive, nullptr);
  char buf[16];
  EXPECT_EQ(qex_read_entry(archive, qex_find_entry(archive, "b"), 0, buf, sizeof(buf)), 10);
  EXPECT_EQ(std::string(buf, 10), "me bytesot");
  qex_close(archive);
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

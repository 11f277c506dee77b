#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "archive/qex.h"
#include "testing/test_util.h"

namespace {

using archive_testing::BuildArchive;
using archive_testing::TestLayout;
using testing_util::ReadFile;
using testing_util::WriteFile;

class QexSignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* k : {"k1", "k2", "k3"}) ASSERT_TRUE(archive_testing::MakeKeyPair(Sub(k)));
    layout_.blocks = {{7, "other block"}};
    layout_.entries = {{"a", testing_util::RandomBytes(300000, 4)}, {"d/b", "bee", 0755}};
    ASSERT_TRUE(archive_testing::WriteBytes(archive_, BuildArchive(layout_)));
  }
  std::string Sub(const std::string& rel) const { return dir_.Sub(rel); }
  // The result against the public keys in `pub` (a file made of the given
  // keys' .pub files), and the verifying key index of each signature.
  int Verify(const std::vector<std::string>& pub, std::vector<int>* by = nullptr) {
    std::string text;
    for (const std::string& k : pub) text += ReadFile(Sub(k + ".pub"));
    WriteFile(Sub("trusted.pub"), text);
    QexKeySet* keys = qex_read_public_keys(Sub("trusted.pub").c_str());
    QexSignatureCheck checks[8];
    uint32_t count = 0;
    int rv = qex_verify_archive(archive_.c_str(), keys, checks, &count);
    qex_free_keys(keys);
    for (uint32_t i = 0; by && i < count; ++i) by->push_back(checks[i].key);
    return rv;
  }

  testing_util::ScopedTempDir dir_;
  const std::string archive_ = dir_.Sub("a.qex");
  TestLayout layout_;
};

// Signing moves the contents; the reader still finds every entry, and a later
// signing replaces the signatures. (One key per set, unsigned archives and
// private key files without one: qex_tool_test.)
TEST_F(QexSignTest, SignedArchivesReadAsBeforeAndRotateKeys) {
  ASSERT_TRUE(archive_testing::SignWith(archive_, dir_.path(), {"k1", "k2"}));
  std::vector<int> by;
  EXPECT_EQ(Verify({"k3", "k2"}, &by), QEX_VERIFIED);
  EXPECT_EQ(by, (std::vector<int>{-1, 1}));
  QexArchive* archive = qex_open(archive_.c_str());
  ASSERT_TRUE(archive);
  for (const auto& e : layout_.entries) {
    QexEntry* entry = qex_find_entry(archive, e.name.c_str());
    ASSERT_TRUE(entry);
    std::string stored(entry->length, '\0');
    EXPECT_EQ(qex_read_entry(archive, entry, 0, &stored[0], entry->length),
              static_cast<int>(entry->length));
    EXPECT_TRUE(stored == archive_testing::Bzip2(e.contents)) << e.name;
  }
  qex_close(archive);

  ASSERT_TRUE(archive_testing::SignWith(archive_, dir_.path(), {"k3"}));
  by.clear();
  EXPECT_EQ(Verify({"k1", "k3"}, &by), QEX_VERIFIED);
  EXPECT_EQ(by, (std::vector<int>{1}));
}

// Key files: other PEM blocks are skipped; an archive the signer cannot
// rewrite faithfully is left alone.
TEST_F(QexSignTest, KeyFilesAndRefusals) {
  WriteFile(Sub("mixed.pub"), "junk\n" + ReadFile(Sub("k1.pem")) + ReadFile(Sub("k2.pub")) +
                                  "-----BEGIN PUBLIC KEY-----\nbroken\n-----END PUBLIC KEY-----\n" +
                                  ReadFile(Sub("k3.pub")));
  const struct {
    std::string file;
    int keys;  // -1: unreadable
  } files[] = {{Sub("mixed.pub"), 2}, {Sub("k1.pem"), 0}, {dir_.path(), -1}, {Sub("none"), -1}};
  for (const auto& f : files) {
    QexKeySet* keys = qex_read_public_keys(f.file.c_str());
    EXPECT_EQ(keys ? qex_key_count(keys) : -1, f.keys) << f.file;
    qex_free_keys(keys);
  }
  testing::internal::CaptureStderr();
  TestLayout short_layout = layout_;
  short_layout.short_layout = true;
  std::string with_tail = BuildArchive(layout_) + "tail";
  for (const std::string& bytes : {BuildArchive(short_layout), with_tail}) {
    ASSERT_TRUE(archive_testing::WriteBytes(archive_, bytes));
    EXPECT_FALSE(archive_testing::SignWith(archive_, dir_.path(), {"k1"}));
    EXPECT_TRUE(ReadFile(archive_) == bytes);
  }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("the index does not end the file"),
            std::string::npos);
  EXPECT_EQ(Verify({"k1"}), QEX_UNSIGNED);
  ASSERT_TRUE(archive_testing::WriteBytes(archive_, with_tail.substr(0, 50)));
  EXPECT_EQ(Verify({"k1"}), QEX_MALFORMED);
}

}  // namespace

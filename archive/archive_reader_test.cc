#include "archive/archive_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "archive/archive_test_util.h"
#include "testing/test_util.h"

namespace {

using archive_testing::Bzip2;
using testing_util::Exists;
using testing_util::ModeOf;
using testing_util::RandomBytes;
using testing_util::ReadFile;

class ArchiveReaderTest : public ::testing::Test {
 protected:
  // Entries of several kinds; `corrupt` holds two bzip2 blocks, the second
  // damaged, of `data_`.
  void SetUp() override {
    umask(022);
    std::string corrupt = Bzip2(data_), cut = Bzip2(RandomBytes(300000, 4));
    corrupt[corrupt.size() - 200] ^= 0x55;
    ASSERT_TRUE(archive_testing::WriteTestArchive(
        archive_,
        {{"big", big_, 0750},
         {"suid", "x", 04755},  // only permission bits count
         {"empty-output", "", 0600},
         // The 14-byte empty stream every bzip2 writes.
         {"empty-stream", std::string("BZh9\x17\x72\x45\x38\x50\x90\0\0\0\0", 14), 0644, false},
         {"zero", "", 0644, false},
         {"plain", "plain text, not compressed", 0644, false},
         {"cut1", cut.substr(0, 1), 0644, false},
         {"cut-half", cut.substr(0, cut.size() / 2), 0644, false},
         {"cut-one-short", cut.substr(0, cut.size() - 1), 0644, false},
         {"corrupt", corrupt, 0644, false},
         {"two-streams", Bzip2("first") + Bzip2("second") + "junk", 0644, false}}));
    ASSERT_EQ(reader_.Open(archive_.c_str()), 0);
  }
  // Extracts `name` to a file of that name and to a stream: the same code and
  // bytes. Returns the code; the bytes go to `out`.
  int Extract(const char* name, std::string* out = nullptr) {
    const std::string file = dir_.Sub(name), stream = dir_.Sub("stream");
    int rv = reader_.ExtractToFile(name, file.c_str());
    FILE* f = fopen(stream.c_str(), "wb");
    EXPECT_EQ(reader_.ExtractToStream(name, f), rv) << name;
    fclose(f);
    EXPECT_TRUE(ReadFile(file) == ReadFile(stream)) << name;
    if (out) *out = ReadFile(stream);
    return rv;
  }

  testing_util::ScopedTempDir dir_;
  std::string archive_ = dir_.Sub("update.qex");
  const std::string big_ = RandomBytes(1000000, 3) + std::string(900000, 'x');
  const std::string data_ = RandomBytes(1200000, 9);
  ArchiveReader reader_;
};

TEST_F(ArchiveReaderTest, ExtractsEntriesWithTheirModesAndCodes) {
  {
    // Each reader has work buffers of its own: one closed leaves this one working.
    ArchiveReader other;
    ASSERT_EQ(other.Open(archive_.c_str()), 0);
  }
  std::string out;
  EXPECT_EQ(Extract("big", &out), 0);
  EXPECT_TRUE(out == big_);  // several output buffers' worth, in order
  EXPECT_EQ(ModeOf(dir_.Sub("big")), 0750u);
  EXPECT_EQ(Extract("suid"), 0);
  EXPECT_EQ(ModeOf(dir_.Sub("suid")), 0755u);
  EXPECT_EQ(Extract("empty-output", &out) + Extract("empty-stream", &out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(Extract("zero"), 40);
  EXPECT_TRUE(Exists(dir_.Sub("zero")));
  // Corrupt and cut-off streams fail instead of waiting.
  for (const char* name : {"plain", "cut1", "cut-half", "cut-one-short", "corrupt"}) {
    EXPECT_EQ(Extract(name, &out), 39) << name;
  }
  // The first block (up to 900 kB of input) was written before the damaged one.
  EXPECT_TRUE(out.size() >= 800000 && out.compare(0, 800000, data_, 0, 800000) == 0);
  EXPECT_EQ(Extract("two-streams", &out), 0);
  EXPECT_EQ(out, "first");  // ends at the first end of a stream
  EXPECT_EQ(Extract("missing"), 6);
  EXPECT_FALSE(Exists(dir_.Sub("missing")));
  EXPECT_EQ(reader_.ExtractToFile("big", dir_.Sub("no/such/dir").c_str()), 7);
  // An entry whose offset lies past the end of the file.
  const uint32_t index = archive_testing::IndexOffsetOf(ReadFile(archive_));
  ASSERT_TRUE(archive_testing::SetU32(archive_, index + 4, 0x7FFFFFF0u));
  ASSERT_EQ(reader_.Open(archive_.c_str()), 0);
  EXPECT_EQ(Extract("big"), 6);
}

TEST_F(ArchiveReaderTest, OpenCloseStatesAndProductInformation) {
  const struct {
    const char* channels;
    const char* version;
    int rv;
  } cases[] = {
      {"beta, release", "1.0", 0}, {"beta,\trelease", "0.9", 0},
      {"release", "1.0pre", 0},    {"beta, Release", "1.0", 22},
      {"releases", "1.0", 22},     {"releas", "1.0", 22},
      {nullptr, "2.0", 23},        {"", "1.0.1", 23},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reader_.CheckProductInformation(c.channels, c.version), c.rv) << c.version;
  }
  // Only the first 511 bytes of the list count.
  const std::string long_list = std::string(510, ' ') + "release";
  EXPECT_EQ(reader_.CheckProductInformation(long_list.c_str(), "1.0"), 22);
  archive_testing::TestLayout layout;
  layout.product_info = false;
  layout.entries = {{"a", "x"}};
  ASSERT_TRUE(archive_testing::WriteBytes(archive_, archive_testing::BuildArchive(layout)));
  EXPECT_EQ(reader_.Open(archive_.c_str()), 0);  // replaces the open one
  EXPECT_EQ(reader_.CheckProductInformation("release", "1.0"), 21);
  EXPECT_EQ(reader_.CheckArchiveOpen(), 0);

  testing::internal::CaptureStderr();
  EXPECT_EQ(reader_.Open(dir_.Sub("missing.qex").c_str()), 6);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: could not open file in qex_open()\n" +
                                                        dir_.Sub("missing.qex") +
                                                        ": No such file or directory\n");
  EXPECT_EQ(reader_.CheckArchiveOpen(), 20);
  EXPECT_EQ(reader_.CheckProductInformation("release", "1.0"), 20);
  EXPECT_EQ(Extract("a"), 6);  // nothing open: no entry
}

}  // namespace

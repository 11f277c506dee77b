#include "archive/archive_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_test_util.h"
#include "testing/test_util.h"

namespace {

using archive_testing::Bzip2;
using archive_testing::TestEntry;
using archive_testing::TestLayout;
using archive_testing::WriteBytes;
using archive_testing::WriteTestArchive;
using testing_util::Exists;
using testing_util::RandomBytes;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;

class ArchiveReaderTest : public ::testing::Test {
 protected:
  void TearDown() override { reader_.Close(); }

  // Writes `entries` to an archive and opens it.
  void OpenWith(const std::vector<TestEntry>& entries) {
    ASSERT_TRUE(WriteTestArchive(archive_, entries));
    ASSERT_EQ(reader_.Open(archive_.c_str()), 0);
  }
  void OpenLayout(const TestLayout& layout) {
    ASSERT_TRUE(WriteBytes(archive_, archive_testing::BuildArchive(layout)));
    ASSERT_EQ(reader_.Open(archive_.c_str()), 0);
  }
  // Extracts `name` to a stream and returns the code; the bytes go to `out`.
  int ExtractToString(const char* name, std::string* out) {
    std::string path = dir_.Sub("stream.out");
    FILE* f = fopen(path.c_str(), "wb");
    int rv = reader_.ExtractToStream(name, f);
    fclose(f);
    *out = ReadFile(path);
    return rv;
  }

  ScopedTempDir dir_;
  std::string archive_ = dir_.Sub("update.qex");
  ArchiveReader reader_;
};

TEST_F(ArchiveReaderTest, ExtractsFilesWithTheirModesAndStreams) {
  const std::string big = RandomBytes(600000, 3) + std::string(900000, 'x');
  OpenWith({{"updatev3.manifest", "add \"bin/tool\"\n", 0644},
            {"bin/tool", big, 0750},
            {"empty-output", "", 0600},
            {"literal-empty", std::string("BZh9\x17\x72\x45\x38\x50\x90\0\0\0\0", 14), 0644,
             /*compress=*/false}});

  std::string dest = dir_.Sub("tool");
  umask(022);
  EXPECT_EQ(reader_.ExtractToFile("bin/tool", dest.c_str()), 0);
  EXPECT_TRUE(ReadFile(dest) == big);  // several output buffers' worth, in order
  EXPECT_EQ(testing_util::ModeOf(dest), 0750u);

  std::string text;
  EXPECT_EQ(ExtractToString("updatev3.manifest", &text), 0);
  EXPECT_EQ(text, "add \"bin/tool\"\n");
  // A stream of no bytes is still a stream; the second is the 14-byte empty
  // stream every bzip2 writes (header, end-of-stream magic, CRC 0).
  EXPECT_EQ(ExtractToString("empty-output", &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(ExtractToString("literal-empty", &text), 0);
  EXPECT_EQ(text, "");
}

TEST_F(ArchiveReaderTest, ModeBitsBeyondPermissionsAreIgnored) {
  OpenWith({{"suid", "x", 04755}});
  std::string dest = dir_.Sub("suid");
  umask(022);
  EXPECT_EQ(reader_.ExtractToFile("suid", dest.c_str()), 0);
  EXPECT_EQ(testing_util::ModeOf(dest), 0755u);
}

TEST_F(ArchiveReaderTest, MissingEntryAndBadDestination) {
  OpenWith({{"a", "1"}});
  std::string dest = dir_.Sub("never");
  EXPECT_EQ(reader_.ExtractToFile("b", dest.c_str()), 6);
  EXPECT_FALSE(Exists(dest));
  EXPECT_EQ(reader_.ExtractToFile("a", dir_.Sub("no/such/dir/a").c_str()), 7);
}

TEST_F(ArchiveReaderTest, EmptyStoredEntryCreatesAnEmptyFileAnd40) {
  OpenWith({{"zero", "", 0644, /*compress=*/false}});
  std::string dest = dir_.Sub("zero");
  EXPECT_EQ(reader_.ExtractToFile("zero", dest.c_str()), 40);
  EXPECT_TRUE(Exists(dest));
  EXPECT_EQ(ReadFile(dest), "");
}

TEST_F(ArchiveReaderTest, CorruptStreamGives39AfterPartialOutput) {
  // Two bzip2 blocks: damage in the second leaves the first written.
  const std::string data = RandomBytes(1200000, 9);
  std::string stored = Bzip2(data);
  stored[stored.size() - 200] ^= 0x55;
  OpenWith({{"c", stored, 0644, /*compress=*/false}});
  std::string out;
  EXPECT_EQ(ExtractToString("c", &out), 39);
  // The first block (up to 900 kB of input) was written before the damaged one.
  ASSERT_GE(out.size(), 800000u);
  EXPECT_TRUE(out.compare(0, 800000, data, 0, 800000) == 0);
  // Not a bzip2 stream at all.
  reader_.Close();
  OpenWith({{"p", "plain text, not compressed", 0644, false}});
  EXPECT_EQ(ExtractToString("p", &out), 39);
}

TEST_F(ArchiveReaderTest, TruncatedStreamFailsInsteadOfWaiting) {
  const std::string data = RandomBytes(300000, 4);
  const std::string stored = Bzip2(data);
  // Every cut of the stream ends with a failure; none hangs or succeeds.
  for (size_t cut : {size_t{1}, size_t{10}, stored.size() / 2, stored.size() - 1}) {
    reader_.Close();
    OpenWith({{"t", stored.substr(0, cut), 0644, false}});
    std::string out;
    EXPECT_EQ(ExtractToString("t", &out), 39) << "cut " << cut;
  }
}

TEST_F(ArchiveReaderTest, StopsAtTheEndOfTheFirstStream) {
  const std::string stored = Bzip2("first") + Bzip2("second") + "trailing junk";
  OpenWith({{"s", stored, 0644, false}});
  std::string out;
  EXPECT_EQ(ExtractToString("s", &out), 0);
  EXPECT_EQ(out, "first");
}

TEST_F(ArchiveReaderTest, EntryBeyondTheEndOfTheFileIsAReadError) {
  TestLayout layout;
  layout.entries = {{"a", "hello"}};
  std::string bytes = archive_testing::BuildArchive(layout);
  // Point the entry's offset past the end of the file.
  uint32_t index = archive_testing::IndexOffsetOf(bytes);
  ASSERT_TRUE(WriteBytes(archive_, bytes));
  ASSERT_TRUE(archive_testing::SetU32(archive_, index + 4, 0x7FFFFFF0u));
  ASSERT_EQ(reader_.Open(archive_.c_str()), 0);
  std::string out;
  EXPECT_EQ(ExtractToString("a", &out), 6);
}

// A decoder on another thread gives every entry the same file, mode and code
// as the reader, while the reader keeps extracting from the same archive.
TEST_F(ArchiveReaderTest, DecoderBesideTheReaderGivesTheSameResults) {
  const std::string big = RandomBytes(1500000, 5);
  std::string corrupt = Bzip2(RandomBytes(1200000, 6));
  corrupt[corrupt.size() - 200] ^= 0x55;
  const std::string cut = Bzip2(RandomBytes(300000, 7));
  OpenWith({{"big", big, 0750},
            {"small", "tiny", 0600},
            {"zero", "", 0644, /*compress=*/false},
            {"corrupt", corrupt, 0644, false},
            {"cut", cut.substr(0, cut.size() / 2), 0644, false}});
  const char* const names[] = {"big", "small", "zero", "corrupt", "cut", "missing"};
  umask(022);

  std::atomic<bool> done{false};
  std::thread reader_thread([&] {
    // Keeps the archive stream busy with seeks and reads.
    while (!done) ASSERT_EQ(reader_.ExtractToFile("big", dir_.Sub("reader-big").c_str()), 0);
  });
  ArchiveDecoder decoder(&reader_);
  std::vector<int> decoded;
  for (int round = 0; round < 3; ++round) {
    decoded.clear();
    for (const char* name : names) {
      decoded.push_back(
          decoder.ExtractToFile(name, dir_.Sub(std::string("d-") + name).c_str(), -1, nullptr));
    }
  }
  done = true;
  reader_thread.join();

  for (size_t i = 0; i < std::size(names); ++i) {
    std::string mine = dir_.Sub(std::string("d-") + names[i]);
    std::string theirs = dir_.Sub(std::string("r-") + names[i]);
    EXPECT_EQ(decoded[i], reader_.ExtractToFile(names[i], theirs.c_str())) << names[i];
    EXPECT_EQ(Exists(mine), Exists(theirs)) << names[i];
    if (!Exists(theirs)) continue;
    EXPECT_TRUE(ReadFile(mine) == ReadFile(theirs)) << names[i];
    EXPECT_EQ(testing_util::ModeOf(mine), testing_util::ModeOf(theirs)) << names[i];
  }
  EXPECT_EQ(decoded[0], 0);
  EXPECT_TRUE(ReadFile(dir_.Sub("d-big")) == big);
  EXPECT_EQ(decoded[5], 6);

  std::atomic<bool> cancel{true};
  EXPECT_EQ(decoder.ExtractToFile("big", dir_.Sub("cancelled").c_str(), -1, &cancel),
            ArchiveDecoder::kCancelled);
  // A mode of the caller's instead of the entry's.
  EXPECT_EQ(decoder.ExtractToFile("big", dir_.Sub("own-mode").c_str(), 0604, nullptr), 0);
  EXPECT_EQ(testing_util::ModeOf(dir_.Sub("own-mode")), 0604u);
}

TEST_F(ArchiveReaderTest, OpenCloseStates) {
  EXPECT_EQ(reader_.CheckArchiveOpen(), 20);
  std::string out;
  EXPECT_EQ(ExtractToString("a", &out), 6);  // nothing open: no entry
  testing::internal::CaptureStderr();
  EXPECT_EQ(reader_.Open(dir_.Sub("missing.qex").c_str()), 6);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "ERROR: could not open file in qex_open()\n" + dir_.Sub("missing.qex") +
                     ": No such file or directory\n");
  EXPECT_EQ(reader_.CheckArchiveOpen(), 20);

  ASSERT_TRUE(WriteTestArchive(dir_.Sub("one.qex"), {{"a", "one"}}));
  ASSERT_TRUE(WriteTestArchive(dir_.Sub("two.qex"), {{"a", "two"}}));
  ASSERT_EQ(reader_.Open(dir_.Sub("one.qex").c_str()), 0);
  EXPECT_EQ(reader_.CheckArchiveOpen(), 0);
  ASSERT_EQ(reader_.Open(dir_.Sub("two.qex").c_str()), 0);  // replaces the first
  EXPECT_EQ(ExtractToString("a", &out), 0);
  EXPECT_EQ(out, "two");
  reader_.Close();
  EXPECT_EQ(reader_.CheckArchiveOpen(), 20);
  EXPECT_EQ(ExtractToString("a", &out), 6);
}

TEST_F(ArchiveReaderTest, ProductInformationCheck) {
  EXPECT_EQ(reader_.CheckProductInformation("release", "1.0"), 20);
  TestLayout layout;
  layout.channel = "release";
  layout.version = "1.0";
  layout.entries = {{"a", "x"}};
  OpenLayout(layout);
  EXPECT_EQ(reader_.CheckProductInformation("beta, release", "1.0"), 0);
  EXPECT_EQ(reader_.CheckProductInformation("beta,\trelease", "0.9"), 0);
  EXPECT_EQ(reader_.CheckProductInformation("beta, Release", "1.0"), 22);
  EXPECT_EQ(reader_.CheckProductInformation("releases", "1.0"), 22);
  EXPECT_EQ(reader_.CheckProductInformation(nullptr, "2.0"), 23);
  EXPECT_EQ(reader_.CheckProductInformation("", "1.0.1"), 23);
  EXPECT_EQ(reader_.CheckProductInformation("release", "1.0pre"), 0);
  // Only the first 511 bytes of the list count.
  std::string long_list = std::string(510, ' ') + "release";
  EXPECT_EQ(reader_.CheckProductInformation(long_list.c_str(), "1.0"), 22);

  reader_.Close();
  layout.product_info = false;
  OpenLayout(layout);
  EXPECT_EQ(reader_.CheckProductInformation("release", "1.0"), 21);
}

}  // namespace

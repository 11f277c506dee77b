// The parallel decoding of one bzip2 stream against libbz2's own decoding on
// one thread: the same bytes and the same result code for whole and damaged
// streams, and whole streams really decoded in parallel.
#include "archive/bz2_parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_test_util.h"
#include "archive/decoder_budget.h"
#include "testing/test_util.h"

namespace {

using archive_testing::Bzip2;
using archive_testing::Extraction;
using archive_testing::ExtractStored;
using testing_util::RandomBytes;

// Bit positions of both magics, found one bit at a time.
std::vector<size_t> MagicBits(const std::string& s) {
  std::vector<size_t> found;
  uint64_t reg = 0;
  for (size_t bit = 0; bit < s.size() * 8; ++bit) {
    reg = reg << 1 | ((static_cast<uint8_t>(s[bit / 8]) >> (7 - bit % 8)) & 1);
    const uint64_t m = reg & 0xffffffffffff;
    if (bit >= 47 && (m == 0x314159265359 || m == 0x177245385090)) found.push_back(bit - 47);
  }
  return found;
}

std::string FlipBit(std::string s, size_t bit) {
  s[bit / 8] = static_cast<char>(s[bit / 8] ^ (0x80 >> bit % 8));
  return s;
}

// Bytes whose used-byte table spells the block magic in three 16-bit words
// of every block's header: each block holds a magic that starts none.
std::string PlantedMagicData(size_t n) {
  std::string set;
  const unsigned words[] = {0x3141, 0x5926, 0x5359};
  for (int r = 0; r < 3; ++r)
    for (int j = 0; j < 16; ++j)
      if (words[r] >> (15 - j) & 1) set += static_cast<char>(16 * (r + 1) + j);
  std::string data = RandomBytes(n, 7);
  for (char& c : data) c = set[static_cast<uint8_t>(c) % set.size()];
  return data;
}

// Runs of 200 to 255 equal bytes: a block of level 1 expands to about 5 MB.
std::string Runs(size_t n) {
  std::string seeds = RandomBytes(n / 200, 3), data;
  for (char c : seeds) data.append(200 + static_cast<uint8_t>(c) % 56, c);
  return data;
}

int ReadMemory(void* context, uint32_t position, void* buffer, int size) {
  const std::string& s = *static_cast<const std::string*>(context);
  const size_t n = std::min(static_cast<size_t>(size), s.size() - position);
  memcpy(buffer, s.data() + position, n);
  return static_cast<int>(n);
}

ParallelDecodeResult DecodeDirect(const std::string& stream, std::string* out) {
  const int capacity = gDecoderBudget.capacity();
  gDecoderBudget.SetCapacity(4);
  char* data = nullptr;
  size_t size = 0;
  FILE* fp = open_memstream(&data, &size);
  ParallelDecodeResult r =
      DecodeBzip2Parallel(ReadMemory, const_cast<std::string*>(&stream),
                          static_cast<uint32_t>(stream.size()), fp, nullptr, -1);
  fclose(fp);
  out->assign(data, size);
  free(data);
  gDecoderBudget.SetCapacity(capacity);
  return r;
}

class Bz2ParallelTest : public ::testing::Test {
 protected:
  // Both ways through the reader agree and give `code` (and `data`, when
  // given); what the parallel decoding (its result returned, its bytes in
  // `direct`) wrote before leaving the rest to one thread is a prefix of that.
  ParallelDecodeResult ExpectSameBothWays(const std::string& stream, int code, std::string* direct,
                                          const std::string* data = nullptr) {
    const Extraction one = ExtractStored(dir_.Sub("a.qex"), stream, false);
    EXPECT_EQ(ExtractStored(dir_.Sub("a.qex"), stream, true), one);
    EXPECT_EQ(one.code, code);
    EXPECT_TRUE(!data || one.bytes == *data);
    ParallelDecodeResult r = DecodeDirect(stream, direct);
    EXPECT_EQ(r.written, direct->size());
    EXPECT_EQ(one.bytes.compare(0, direct->size(), *direct), 0);
    return r;
  }
  testing_util::ScopedTempDir dir_;
};

TEST_F(Bz2ParallelTest, WholeStreamsDecodeInParallel) {
  std::vector<std::pair<std::string, int>> cases = {{RandomBytes(50000, 1), 9}, {Runs(6000000), 1}};
  for (int level = 1; level <= 9; ++level) cases.push_back({RandomBytes(250000, level), level});
  std::string text;
  while (text.size() < 700000) text += "line " + std::to_string(text.size() * 7919 % 100003) + "\n";
  cases.push_back({text, 1});
  for (const auto& [data, level] : cases) {
    SCOPED_TRACE(testing::Message() << data.size() << " bytes, level " << level);
    std::string out;
    const ParallelDecodeResult r = ExpectSameBothWays(Bzip2(data, level), 0, &out, &data);
    EXPECT_FALSE(r.fall_back);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(out == data);
  }
}

TEST_F(Bz2ParallelTest, FalseMagicAndDamageGiveTheSingleThreadedResult) {
  const std::string base = Bzip2(RandomBytes(250000, 11), 1);
  const std::vector<size_t> magics = MagicBits(base);
  ASSERT_EQ(magics.size(), 4u);  // three blocks and the end
  std::vector<std::pair<std::string, int>> cases = {
      {Bzip2(PlantedMagicData(300000), 1), 0},
      {Bzip2("", 9), 0},
      {base + "trailing bytes", 0},
      {base + base, 0},
      {FlipBit(base, magics[1] + 400), 39},             // in a block's data
      {FlipBit(base, magics[2] + 48 + 3), 39},          // in a block's CRC
      {FlipBit(base, magics[3] + 48 + 7), 39},          // in the stream's CRC
      {FlipBit(base, magics[1] + 20), 39},              // in a block's magic
      {FlipBit(base, 26), 39},                          // the block size digit
      {base.substr(0, 4) + "U" + base.substr(4), 39}};  // a misplaced first block
  for (size_t m : magics) {
    for (size_t cut : {m / 8, m / 8 + 1, m / 8 + 4000}) {
      if (cut < base.size()) cases.push_back({base.substr(0, cut), 39});
    }
  }
  std::string out;
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    // Every block of the planted stream holds a false magic: left to one thread.
    EXPECT_TRUE(ExpectSameBothWays(cases[i].first, cases[i].second, &out).fall_back || i > 0);
  }
  EXPECT_GT(MagicBits(cases[0].first).size(), 4u);
}

TEST(DecoderBudgetTest, HandsOutAtMostItsThreadsAndStopsWaiters) {
  DecoderBudget budget;
  budget.SetCapacity(2);
  EXPECT_TRUE(budget.TryAcquire());
  EXPECT_TRUE(budget.TryAcquire());
  EXPECT_FALSE(budget.TryAcquire());
  std::atomic<bool> stop{false};
  std::atomic<int> acquired{-1};
  std::thread waiter([&] { acquired = budget.Acquire(stop); });
  budget.Release();  // the waiter takes it
  waiter.join();
  EXPECT_EQ(acquired, 1);
  EXPECT_FALSE(budget.TryAcquire());
  std::thread stopped([&] { acquired = budget.Acquire(stop); });
  stop = true;
  budget.WakeAll();
  stopped.join();
  EXPECT_EQ(acquired, 0);
  EXPECT_FALSE(budget.TryAcquire());  // a stopped waiter took none
}

}  // namespace

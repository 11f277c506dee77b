#include "patch/crc32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "testing/test_util.h"

namespace {

// Polynomial division one bit at a time, independent of any table.
uint32_t BitwiseCrc(const unsigned char* p, size_t n) {
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    reg ^= uint32_t{p[i]} << 24;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
  }
  return ~reg;
}

TEST(Crc32Test, PublishedCheckValueAndTable) {
  const char kDigits[] = "123456789";
  EXPECT_EQ(kCrc32Bzip2Check, 0xFC891918u);
  EXPECT_EQ(crc32_bzip2(kDigits, 9), 0xFC891918u);
  EXPECT_EQ(crc32_bzip2_bytewise(0, kDigits, 9), 0xFC891918u);
  EXPECT_EQ(crc32_bzip2(nullptr, 0), 0u);
  EXPECT_EQ(crc32_bzip2_table_entry(0), 0x00000000u);
  EXPECT_EQ(crc32_bzip2_table_entry(1), 0x04C11DB7u);
  EXPECT_EQ(crc32_bzip2_table_entry(2), 0x09823B6Eu);
  EXPECT_EQ(crc32_bzip2_table_entry(3), 0x0D4326D9u);
  EXPECT_EQ(crc32_bzip2_table_entry(255), 0xB1F740B4u);
}

// Every length around the 16-byte stride, at every start alignment, plus a few
// long buffers; all three implementations must agree.
TEST(Crc32Test, MatchesBitwiseReferenceAtAllLengthsAndAlignments) {
  const std::string data = testing_util::RandomBytes(5000, 17);
  const auto* base = reinterpret_cast<const unsigned char*>(data.data());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t n = 0; n <= 200; ++n) {
      uint32_t want = BitwiseCrc(base + offset, n);
      ASSERT_EQ(crc32_bzip2(base + offset, n), want) << "offset " << offset << " length " << n;
      ASSERT_EQ(crc32_bzip2_bytewise(0, base + offset, n), want);
    }
  }
  for (size_t n : {1023u, 1024u, 1025u, 4096u, 4999u}) {
    EXPECT_EQ(crc32_bzip2(base + 1, n), BitwiseCrc(base + 1, n)) << n;
  }
}

TEST(Crc32Test, ExtendEqualsWholeAtEverySplit) {
  const std::string data = testing_util::RandomBytes(300, 5);
  const uint32_t whole = crc32_bzip2(data.data(), data.size());
  for (size_t split = 0; split <= data.size(); ++split) {
    uint32_t crc = crc32_bzip2(data.data(), split);
    ASSERT_EQ(crc32_bzip2_extend(crc, data.data() + split, data.size() - split), whole) << split;
    ASSERT_EQ(crc32_bzip2_bytewise(crc, data.data() + split, data.size() - split), whole);
  }
}

// Both implementations behind crc32_bzip2_extend, each forced, against the
// reference: every length through several 64-byte folding rounds, with a
// register carried in from a previous piece, and one long buffer.
TEST(Crc32Test, CarrylessAndSlicedAgreeWithReference) {
  if (!crc32_bzip2_has_clmul()) {
    printf("no PCLMULQDQ on this processor: only the sliced fallback is checked\n");
  }
  const std::string data = testing_util::RandomBytes(1 << 20, 23);
  const auto* base = reinterpret_cast<const unsigned char*>(data.data());
  for (size_t offset : {0u, 3u}) {
    for (size_t n = 0; n <= 700; ++n) {
      for (uint32_t start : {0u, 0x12345678u}) {
        uint32_t want = crc32_bzip2_bytewise(start, base + offset, n);
        ASSERT_EQ(crc32_bzip2_clmul(start, base + offset, n), want) << offset << " " << n;
        ASSERT_EQ(crc32_bzip2_sliced(start, base + offset, n), want) << offset << " " << n;
      }
    }
  }
  const uint32_t whole = crc32_bzip2_bytewise(0, base, data.size());
  EXPECT_EQ(crc32_bzip2_clmul(0, base, data.size()), whole);
  EXPECT_EQ(crc32_bzip2(base, data.size()), whole);
  const size_t split = 100003;
  EXPECT_EQ(crc32_bzip2_clmul(crc32_bzip2_clmul(0, base, split), base + split, data.size() - split),
            whole);
}

// Zero bytes and all-ones bytes exercise the table entries at both ends.
TEST(Crc32Test, UniformBuffers) {
  for (unsigned char fill : {0x00, 0xFF, 0x80}) {
    std::string data(777, static_cast<char>(fill));
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    EXPECT_EQ(crc32_bzip2(p, data.size()), BitwiseCrc(p, data.size())) << int{fill};
  }
}

}  // namespace

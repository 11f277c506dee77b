#include "patch/crc32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "testing/test_util.h"

namespace {

// Polynomial division one bit at a time, independent of any table.
uint32_t BitwiseCrc(uint32_t crc, const unsigned char* p, size_t n) {
  uint32_t reg = ~crc;
  for (size_t i = 0; i < n; ++i) {
    reg ^= uint32_t{p[i]} << 24;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
  }
  return ~reg;
}

// The published check value; then every implementation against the
// reference: every length around the 16-byte stride and through several
// 64-byte folding rounds, at several alignments, with a register carried in
// from a previous piece.
TEST(Crc32Test, AllImplementationsAgreeWithTheReference) {
  EXPECT_EQ(crc32_bzip2("123456789", 9), 0xFC891918u);
  EXPECT_EQ(crc32_bzip2_bytewise(0, "123456789", 9), 0xFC891918u);
  EXPECT_EQ(crc32_bzip2(nullptr, 0), 0u);
  if (!crc32_bzip2_has_clmul()) printf("no PCLMULQDQ here: only the sliced form is checked\n");
  const std::string data = testing_util::RandomBytes(1 << 20, 23);
  const auto* base = reinterpret_cast<const unsigned char*>(data.data());
  for (size_t offset : {0u, 1u, 3u, 8u, 15u}) {
    for (size_t n = 0; n <= 700; ++n) {
      for (uint32_t start : {0u, 0x12345678u}) {
        const uint32_t want = BitwiseCrc(start, base + offset, n);
        ASSERT_EQ(crc32_bzip2_bytewise(start, base + offset, n), want) << offset << " " << n;
        ASSERT_EQ(crc32_bzip2_extend(start, base + offset, n), want) << offset << " " << n;
        ASSERT_EQ(crc32_bzip2_clmul(start, base + offset, n), want) << offset << " " << n;
        ASSERT_EQ(crc32_bzip2_sliced(start, base + offset, n), want) << offset << " " << n;
      }
    }
  }
  EXPECT_EQ(crc32_bzip2(base, data.size()), BitwiseCrc(0, base, data.size()));
}

}  // namespace

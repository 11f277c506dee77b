#include "patch/crc32.h"

#include <array>

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;
// Slicing-by-16: table k maps a byte to its CRC contribution when k zero bytes
// follow it, so sixteen input bytes fold into the register with sixteen
// independent look-ups instead of a chain of sixteen dependent ones.
constexpr int kSlices = 16;

using Tables = std::array<std::array<uint32_t, 256>, kSlices>;

constexpr Tables MakeTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 0x80000000u) ? (reg << 1) ^ kPolynomial : reg << 1;
    }
    t[0][i] = reg;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t prev = t[k - 1][i];
      t[k][i] = (prev << 8) ^ t[0][prev >> 24];
    }
  }
  return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables[0][1] == 0x04C11DB7u && kTables[0][2] == 0x09823B6Eu &&
                  kTables[0][3] == 0x0D4326D9u,
              "CRC table does not match bzip2's");

inline uint32_t UpdateByte(uint32_t reg, uint8_t byte) {
  return (reg << 8) ^ kTables[0][(reg >> 24) ^ byte];
}

inline uint32_t LoadBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

uint32_t crc32_bzip2_table_entry(uint8_t i) { return kTables[0][i]; }

uint32_t crc32_bzip2_bytewise(uint32_t crc, const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t reg = ~crc;
  for (size_t i = 0; i < length; ++i) reg = UpdateByte(reg, p[i]);
  return ~reg;
}

uint32_t crc32_bzip2_extend(uint32_t crc, const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t reg = ~crc;
  while (length >= kSlices) {
    // Byte loads compile to one load plus bswap; no alignment is assumed.
    uint32_t x = reg ^ LoadBigEndian32(p);
    reg = kTables[15][x >> 24] ^ kTables[14][(x >> 16) & 0xff] ^ kTables[13][(x >> 8) & 0xff] ^
          kTables[12][x & 0xff] ^ kTables[11][p[4]] ^ kTables[10][p[5]] ^ kTables[9][p[6]] ^
          kTables[8][p[7]] ^ kTables[7][p[8]] ^ kTables[6][p[9]] ^ kTables[5][p[10]] ^
          kTables[4][p[11]] ^ kTables[3][p[12]] ^ kTables[2][p[13]] ^ kTables[1][p[14]] ^
          kTables[0][p[15]];
    p += kSlices;
    length -= kSlices;
  }
  while (length--) reg = UpdateByte(reg, *p++);
  return ~reg;
}

uint32_t crc32_bzip2(const void* data, size_t length) {
  return crc32_bzip2_extend(0, data, length);
}

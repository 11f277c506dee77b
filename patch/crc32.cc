#include "patch/crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define UPDATER_CRC_CLMUL 1
#include <immintrin.h>
#endif

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

uint32_t ExtendSliced(uint32_t reg, const uint8_t* p, size_t length) {
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
  return reg;
}

#ifdef UPDATER_CRC_CLMUL

// x^n mod P, for the folding constants.
constexpr uint64_t XPowModP(int n) {
  uint32_t r = kPolynomial;  // x^32 mod P
  for (int i = 32; i < n; ++i) r = (r & 0x80000000u) ? (r << 1) ^ kPolynomial : r << 1;
  return r;
}

// Folding: a 128-bit piece H*x^64 + L of the message that is followed by d
// more bits contributes (H*x^64 + L)*x^d, which is congruent modulo P to
// H*(x^(d+64) mod P) + L*(x^d mod P), a polynomial of degree below 96. Its
// bits can therefore stand in for the piece d bits further on. Four lanes
// fold by 512 bits, so four products are in flight at once.
constexpr uint64_t kFold512Hi = XPowModP(512 + 64), kFold512Lo = XPowModP(512);
constexpr uint64_t kFold384Hi = XPowModP(384 + 64), kFold384Lo = XPowModP(384);
constexpr uint64_t kFold256Hi = XPowModP(256 + 64), kFold256Lo = XPowModP(256);
constexpr uint64_t kFold128Hi = XPowModP(128 + 64), kFold128Lo = XPowModP(128);
// Below this many bytes the set-up costs more than it saves.
constexpr size_t kClmulMinLength = 256;

__attribute__((target("pclmul,ssse3"))) inline __m128i LoadBig(const uint8_t* p, __m128i reverse) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
}

__attribute__((target("pclmul,ssse3"))) inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), _mm_clmulepi64_si128(x, k, 0x00));
}

// Bytes are loaded in reverse so that bit 127 of a lane is the most
// significant bit of its first byte, the highest power of x. The register's
// start value is the same as XOR-ing it into the first four message bytes.
// Whatever is left (one lane and fewer than 16 bytes) goes through the tables:
// with a zero register, the lane's 16 bytes give exactly its remainder.
__attribute__((target("pclmul,ssse3"))) uint32_t ExtendClmul(uint32_t reg, const uint8_t* p,
                                                             size_t length) {
  const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m128i x0 = LoadBig(p, reverse);
  __m128i x1 = LoadBig(p + 16, reverse);
  __m128i x2 = LoadBig(p + 32, reverse);
  __m128i x3 = LoadBig(p + 48, reverse);
  x0 = _mm_xor_si128(x0, _mm_set_epi32(static_cast<int>(reg), 0, 0, 0));
  p += 64;
  length -= 64;

  const __m128i k512 = _mm_set_epi64x(kFold512Hi, kFold512Lo);
  while (length >= 64) {
    x0 = _mm_xor_si128(Fold(x0, k512), LoadBig(p, reverse));
    x1 = _mm_xor_si128(Fold(x1, k512), LoadBig(p + 16, reverse));
    x2 = _mm_xor_si128(Fold(x2, k512), LoadBig(p + 32, reverse));
    x3 = _mm_xor_si128(Fold(x3, k512), LoadBig(p + 48, reverse));
    p += 64;
    length -= 64;
  }
  __m128i x = _mm_xor_si128(Fold(x0, _mm_set_epi64x(kFold384Hi, kFold384Lo)),
                            Fold(x1, _mm_set_epi64x(kFold256Hi, kFold256Lo)));
  const __m128i k128 = _mm_set_epi64x(kFold128Hi, kFold128Lo);
  x = _mm_xor_si128(x, _mm_xor_si128(Fold(x2, k128), x3));
  while (length >= 16) {
    x = _mm_xor_si128(Fold(x, k128), LoadBig(p, reverse));
    p += 16;
    length -= 16;
  }
  uint8_t lane[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lane), _mm_shuffle_epi8(x, reverse));
  return ExtendSliced(ExtendSliced(0, lane, sizeof(lane)), p, length);
}

// The C runtime probes the processor once at start-up; asking is a load.
bool HasClmul() { return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3"); }

#endif  // UPDATER_CRC_CLMUL

}  // namespace

uint32_t crc32_bzip2_sliced(uint32_t crc, const void* data, size_t length) {
  return ~ExtendSliced(~crc, static_cast<const uint8_t*>(data), length);
}

bool crc32_bzip2_has_clmul() {
#ifdef UPDATER_CRC_CLMUL
  return HasClmul();
#else
  return false;
#endif
}

uint32_t crc32_bzip2_clmul(uint32_t crc, const void* data, size_t length) {
#ifdef UPDATER_CRC_CLMUL
  if (HasClmul() && length >= 64) {
    return ~ExtendClmul(~crc, static_cast<const uint8_t*>(data), length);
  }
#endif
  return crc32_bzip2_sliced(crc, data, length);
}

uint32_t crc32_bzip2_table_entry(uint8_t i) { return kTables[0][i]; }

uint32_t crc32_bzip2_bytewise(uint32_t crc, const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t reg = ~crc;
  for (size_t i = 0; i < length; ++i) reg = UpdateByte(reg, p[i]);
  return ~reg;
}

uint32_t crc32_bzip2_extend(uint32_t crc, const void* data, size_t length) {
#ifdef UPDATER_CRC_CLMUL
  if (length >= kClmulMinLength && HasClmul()) {
    return ~ExtendClmul(~crc, static_cast<const uint8_t*>(data), length);
  }
#endif
  return crc32_bzip2_sliced(crc, data, length);
}

uint32_t crc32_bzip2(const void* data, size_t length) {
  return crc32_bzip2_extend(0, data, length);
}

// CRC-32/BZIP2 throughput: crc32_bzip2 as the processor selects it, each of its
// two implementations (carry-less multiplication, slicing-by-16) and the
// byte-at-a-time table, on a 256 MiB buffer (larger than any cache) and on a 64 KiB buffer
// (cache-resident) checksummed repeatedly. Prints MB/s with MB = 10^6 bytes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "patch/crc32.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best of `runs` timings of `rounds` passes over the buffer, in MB/s.
template <typename Fn>
double BestMBps(const std::vector<unsigned char>& buf, int rounds, int runs, Fn fn, uint32_t* crc) {
  double best = 0;
  for (int r = 0; r < runs; ++r) {
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) *crc = fn(buf.data(), buf.size());
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double mbps = static_cast<double>(buf.size()) * rounds / seconds / 1e6;
    if (mbps > best) best = mbps;
  }
  return best;
}

std::vector<unsigned char> RandomBuffer(size_t n) {
  std::vector<unsigned char> buf(n);
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i + 8 <= n; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    memcpy(&buf[i], &x, 8);
  }
  return buf;
}

bool Measure(const char* label, size_t size, int rounds, int runs) {
  std::vector<unsigned char> buf = RandomBuffer(size);
  uint32_t auto_crc = 0, clmul_crc = 0, sliced_crc = 0, slow_crc = 0;
  double chosen = BestMBps(
      buf, rounds, runs, [](const unsigned char* p, size_t n) { return crc32_bzip2(p, n); },
      &auto_crc);
  double clmul = BestMBps(
      buf, rounds, runs,
      [](const unsigned char* p, size_t n) { return crc32_bzip2_clmul(0, p, n); }, &clmul_crc);
  double sliced = BestMBps(
      buf, rounds, runs,
      [](const unsigned char* p, size_t n) { return crc32_bzip2_sliced(0, p, n); }, &sliced_crc);
  double slow = BestMBps(
      buf, rounds, runs,
      [](const unsigned char* p, size_t n) { return crc32_bzip2_bytewise(0, p, n); }, &slow_crc);
  printf("%-22s crc32_bzip2 %6.0f MB/s (clmul %6.0f, sliced %5.0f, byte table %4.0f)  crc %08X\n",
         label, chosen, clmul, sliced, slow, auto_crc);
  if (auto_crc != slow_crc || clmul_crc != slow_crc || sliced_crc != slow_crc) {
    fprintf(stderr, "crc_bench: results differ: %08X %08X %08X vs %08X\n", auto_crc, clmul_crc,
            sliced_crc, slow_crc);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    bool help = strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
    fputs("Usage: crc_bench\nPrints CRC-32/BZIP2 throughput (best of 5 runs).\n",
          help ? stdout : stderr);
    return help ? 0 : 1;
  }
  printf("PCLMULQDQ: %s\n", crc32_bzip2_has_clmul() ? "yes" : "no");
  if (crc32_bzip2("123456789", 9) != kCrc32Bzip2Check) {
    fputs("crc_bench: wrong check value\n", stderr);
    return 1;
  }
  bool ok = Measure("256 MiB buffer", size_t{256} << 20, 1, 5);
  ok = Measure("64 KiB buffer x 4096", size_t{64} << 10, 4096, 5) && ok;
  return ok ? 0 : 1;
}

// CRC-32/BZIP2: generator 0x04C11DB7, most significant bit first, no bit
// reflection, initial register 0xFFFFFFFF, register complemented at the end.
// The same checksum bzip2 uses for its block checks.
#ifndef UPDATER_PATCH_CRC32_H_
#define UPDATER_PATCH_CRC32_H_

#include <cstddef>
#include <cstdint>

// CRC of the nine ASCII bytes "123456789".
constexpr uint32_t kCrc32Bzip2Check = 0xFC891918u;

// CRC of `length` bytes at `data` (`data` may be null when `length` is 0).
uint32_t crc32_bzip2(const void* data, size_t length);

// Continues a CRC: given the CRC of some bytes A, returns the CRC of A followed
// by the `length` bytes at `data`. crc32_bzip2(d, n) == crc32_bzip2_extend(0, d, n),
// and splitting the input anywhere gives the same result.
uint32_t crc32_bzip2_extend(uint32_t crc, const void* data, size_t length);

// The two implementations behind crc32_bzip2_extend, which picks one at run
// time: carry-less multiplication (PCLMULQDQ) where the processor has it, for
// inputs of 256 bytes or more; slicing-by-16 otherwise. Both give the same
// results; crc32_bzip2_clmul falls back to slicing without PCLMULQDQ (see
// crc32_bzip2_has_clmul) and for inputs under 64 bytes.
uint32_t crc32_bzip2_sliced(uint32_t crc, const void* data, size_t length);
uint32_t crc32_bzip2_clmul(uint32_t crc, const void* data, size_t length);
bool crc32_bzip2_has_clmul();

// The same function computed one byte at a time from the 256-entry table: the
// slow reference for tests and benchmarks.
uint32_t crc32_bzip2_bytewise(uint32_t crc, const void* data, size_t length);

// Entry i of the byte table: i * 2^24 shifted through eight division steps.
uint32_t crc32_bzip2_table_entry(uint8_t i);

#endif  // UPDATER_PATCH_CRC32_H_

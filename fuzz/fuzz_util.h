// Plumbing shared by the fuzz targets: a private scratch directory that is
// also the working directory, and turning an input into a file there.
#ifndef UPDATER_FUZZ_FUZZ_UTIL_H_
#define UPDATER_FUZZ_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace fuzz_util {

// Creates (once per process) a scratch directory, preferably in /dev/shm, and
// makes it the working directory, so that relative paths the code under test
// opens stay inside it. Aborts when that is not possible: a fuzzer that ran
// elsewhere could touch real files.
const std::string& ScratchDir();

// Writes `data` to `name` inside the scratch directory and returns its path.
// Aborts when the file cannot be written.
std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size);

// `data` as a NUL-terminated heap string (a NUL inside it ends the text early,
// as it would for a file read by the program).
std::unique_ptr<char[]> CopyToText(const uint8_t* data, size_t size);

// A stream that discards everything written to it. Aborts when /dev/null
// cannot be opened.
FILE* NullStream();

}  // namespace fuzz_util

#endif  // UPDATER_FUZZ_FUZZ_UTIL_H_

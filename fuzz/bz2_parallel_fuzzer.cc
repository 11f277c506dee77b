// Decodes the input as the stored bytes of one archive entry through the
// process-wide reader twice, on one thread and in parallel from any length
// up: both must give the same bytes and the same result code.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/archive_test_util.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  // Also makes the scratch directory, where the archive is written.
  const std::string path = fuzz_util::WriteScratchFile("stream.qex", data, size);
  const archive_testing::Extraction one = archive_testing::ExtractStored(path, stream, false);
  if (one.code == -2) abort();  // the archive could not be made: nothing compared
  if (!(archive_testing::ExtractStored(path, stream, true) == one)) abort();
  return 0;
}

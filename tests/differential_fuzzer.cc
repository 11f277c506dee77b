// libFuzzer target: the input chooses a case of the differential test (its
// first eight bytes the seed, the rest the choices) and the built updater's
// check must predict the run's code and change nothing; a mismatch aborts
// with the case's description.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/diff_case.h"

namespace {

std::string scratch;

void RemoveScratch() {
  std::error_code ec;
  std::filesystem::remove_all(scratch, ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static diff_case::Worker* const worker = [] {
    const char* tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/dev/shm") + "/differential-XXXXXX";
    if (!mkdtemp(dir.data())) abort();
    scratch = dir;
    atexit(RemoveScratch);
    auto* w = new diff_case::Worker(dir, UPDATER_BINARY);
    if (!w->ok()) abort();
    return w;
  }();
  uint64_t seed = 0;
  const size_t head = size < sizeof(seed) ? size : sizeof(seed);
  memcpy(&seed, data, head);
  diff_case::Choices choices(seed, data + head, size - head);
  const diff_case::Result r = worker->Run(choices);
  if (!r.Agrees()) {
    fprintf(stderr, "differential mismatch: %s\n  %s\n", r.Mismatch().c_str(),
            r.description.c_str());
    abort();
  }
  return 0;
}

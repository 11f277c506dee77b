#include "fuzz/fuzz_util.h"

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

namespace fuzz_util {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RemoveScratchDir() { nftw(ScratchDir().c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

}  // namespace

const std::string& ScratchDir() {
  static const std::string dir = [] {
    char templ[] = "/dev/shm/updater-fuzz-XXXXXX";
    char fallback[] = "/tmp/updater-fuzz-XXXXXX";
    const char* made = mkdtemp(templ);
    if (!made) made = mkdtemp(fallback);
    if (!made || chdir(made) != 0) {
      perror("fuzz scratch directory");
      abort();
    }
    return std::string(made);
  }();
  static const bool cleanup_registered = atexit(RemoveScratchDir) == 0;
  (void)cleanup_registered;
  return dir;
}

std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size) {
  std::string path = ScratchDir() + "/" + name;
  FILE* fp = fopen(path.c_str(), "wb");
  if (!fp || (size && fwrite(data, size, 1, fp) != 1) || fclose(fp) != 0) {
    perror(path.c_str());
    abort();
  }
  return path;
}

std::unique_ptr<char[]> CopyToText(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size) memcpy(text.get(), data, size);
  text[size] = '\0';
  return text;
}

FILE* NullStream() {
  static FILE* sink = [] {
    FILE* fp = fopen("/dev/null", "wb");
    if (!fp) abort();
    return fp;
  }();
  return sink;
}

}  // namespace fuzz_util

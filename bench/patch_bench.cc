// apply_patch throughput on a large file built from real binaries.
//
// The source is the system's shared libraries concatenated up to --size MiB.
// The target is that source with the kind of edits a new build of a binary
// brings: scattered small changes to 32-bit words (moved addresses), inserted
// bytes, deleted bytes and repeated stretches. The patch is built from the
// edits directly, so its triples, difference and extra blocks look like a
// real binary patch's. Files go under --data (default /work/benchdata), which
// must be outside the source tree. Timings are with the files in the page
// cache; MB = 10^6 bytes of output.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fileops/fileops.h"
#include "patch/crc32.h"
#include "patch/patch.h"
#include "patch/patch_format.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

const char kLibDir[] = "/usr/lib/x86_64-linux-gnu";

// Regular files only (links would repeat the same library), in name order.
Bytes ConcatenateLibraries(size_t limit) {
  std::vector<std::string> names;
  if (DIR* d = opendir(kLibDir)) {
    while (dirent* e = readdir(d)) {
      if (strstr(e->d_name, ".so")) names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  Bytes out;
  out.reserve(limit);
  std::vector<unsigned char> chunk(1 << 20);
  for (const std::string& name : names) {
    std::string path = std::string(kLibDir) + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    ScopedFile f(fopen(path.c_str(), "rb"));
    size_t n;
    while (f && out.size() < limit && (n = fread(chunk.data(), 1, chunk.size(), f.get())) > 0) {
      out.insert(out.end(), chunk.begin(), chunk.begin() + std::min(n, limit - out.size()));
    }
    if (out.size() >= limit) break;
  }
  return out;
}

struct Rng {
  uint64_t x = 0x2545F4914F6CDD1Dull;
  uint32_t Next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<uint32_t>(x >> 16);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

void AppendBe32(Bytes* out, uint32_t v) {
  unsigned char raw[4];
  encode_be32(v, raw);
  out->insert(out->end(), raw, raw + 4);
}

// Builds the edited target and the patch that produces it from `source`.
void BuildPatch(const Bytes& source, Bytes* target, Bytes* patch) {
  Rng rng;
  Bytes control, diff, extra;
  size_t pos = 0;
  while (pos < source.size()) {
    uint32_t add = std::min<size_t>(4096 + rng.Below(256 << 10), source.size() - pos);
    size_t diff_start = diff.size();
    diff.resize(diff_start + add, 0);
    // A 32-bit word shifted by a small amount every few hundred bytes.
    for (size_t off = rng.Below(512); off + 4 <= add; off += 64 + rng.Below(900)) {
      diff[diff_start + off] = static_cast<unsigned char>(1 + rng.Below(16));
    }
    for (uint32_t i = 0; i < add; ++i) {
      target->push_back(static_cast<unsigned char>(source[pos + i] + diff[diff_start + i]));
    }
    pos += add;

    uint32_t copy = rng.Below(4) == 0 ? rng.Below(2048) : 0;
    for (uint32_t i = 0; i < copy; ++i) extra.push_back(static_cast<unsigned char>(rng.Next()));
    target->insert(target->end(), extra.end() - copy, extra.end());

    int32_t seek = 0;
    uint32_t kind = rng.Below(8);
    if (kind == 0)
      seek = static_cast<int32_t>(std::min<size_t>(rng.Below(1024), source.size() - pos));
    if (kind == 1) seek = -static_cast<int32_t>(std::min<size_t>(rng.Below(8192), pos));
    pos += seek;
    AppendBe32(&control, add);
    AppendBe32(&control, copy);
    AppendBe32(&control, static_cast<uint32_t>(seek));
  }
  PatchHeader h = make_patch_header(
      static_cast<uint32_t>(source.size()), crc32_bzip2(source.data(), source.size()),
      static_cast<uint32_t>(target->size()), static_cast<uint32_t>(control.size()),
      static_cast<uint32_t>(diff.size()), static_cast<uint32_t>(extra.size()));
  patch->resize(kPatchHeaderSize);
  encode_patch_header(h, patch->data());
  patch->insert(patch->end(), control.begin(), control.end());
  patch->insert(patch->end(), diff.begin(), diff.end());
  patch->insert(patch->end(), extra.begin(), extra.end());
}

bool WriteWhole(const std::string& path, const Bytes& data) {
  ScopedFile f(fopen(path.c_str(), "wb"));
  return f && fwrite(data.data(), 1, data.size(), f.get()) == data.size() && f.close() == 0;
}

// One application as the patch action does it: load and check the source
// (when `with_source` is set), then header, write_patched_file, close.
int ApplyOnce(const std::string& source_path, const Bytes& source, const std::string& patch_path,
              const std::string& out_path, bool with_source) {
  Bytes loaded;
  const unsigned char* src = source.data();
  ScopedFile patch(fopen(patch_path.c_str(), "rb"));
  PatchHeader h;
  if (!patch || read_patch_header(patch.get(), &h) != 0) return 1;
  if (with_source) {
    ScopedFile f(fopen(source_path.c_str(), "rb"));
    loaded.resize(h.source_length);
    if (!f || !read_exact(f.get(), loaded.data(), loaded.size())) return 1;
    if (crc32_bzip2(loaded.data(), loaded.size()) != h.source_crc) return 1;
    src = loaded.data();
  }
  ScopedFile out(fopen(out_path.c_str(), "wb"));
  if (!out) return 1;
  int rv = write_patched_file(h, patch.get(), src, out.get());
  if (out.close() != 0) return 1;
  return rv;
}

}  // namespace

int main(int argc, char** argv) {
  std::string data_dir = "/work/benchdata";
  size_t mib = 64;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--data") == 0 && i + 1 < argc) {
      data_dir = argv[++i];
    } else if (strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      mib = strtoul(argv[++i], nullptr, 10);
    } else {
      bool help = strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0;
      fputs(
          "Usage: patch_bench [--data DIR] [--size MIB]\n"
          "Builds a source of MIB MiB (default 64) from the system's libraries, an edited\n"
          "target and its patch in DIR (default /work/benchdata), and prints apply_patch\n"
          "throughput (best of 7 runs).\n",
          help ? stdout : stderr);
      return help ? 0 : 1;
    }
  }
  mkdir(data_dir.c_str(), 0755);
  const std::string source_path = data_dir + "/patch_bench_source";
  const std::string patch_path = data_dir + "/patch_bench.qxp";
  const std::string out_path = data_dir + "/patch_bench_output";

  Bytes source = ConcatenateLibraries(mib << 20);
  if (source.size() < (mib << 20)) {
    fprintf(stderr, "patch_bench: only %zu bytes of libraries found\n", source.size());
    return 1;
  }
  Bytes target, patch;
  BuildPatch(source, &target, &patch);
  if (!WriteWhole(source_path, source) || !WriteWhole(patch_path, patch)) {
    fprintf(stderr, "patch_bench: cannot write to %s\n", data_dir.c_str());
    return 1;
  }
  PatchHeader h = decode_patch_header(patch.data());
  printf("source %zu bytes, target %zu bytes, patch %zu bytes (%u triples, %u extra bytes)\n",
         source.size(), target.size(), patch.size(), h.control_length / 12, h.extra_length);

  for (bool with_source : {false, true}) {
    double best = 1e30;
    for (int run = 0; run < 7; ++run) {
      auto start = Clock::now();
      if (ApplyOnce(source_path, source, patch_path, out_path, with_source) != 0) {
        fputs("patch_bench: application failed\n", stderr);
        return 1;
      }
      best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    printf("%-48s %7.1f ms  %7.0f MB/s\n",
           with_source ? "load source + CRC + write_patched_file:"
                       : "read header + write_patched_file:",
           best * 1e3, static_cast<double>(target.size()) / best / 1e6);
  }

  ScopedFile out(fopen(out_path.c_str(), "rb"));
  Bytes written(target.size() + 1);
  size_t n = out ? fread(written.data(), 1, written.size(), out.get()) : 0;
  if (n != target.size() || memcmp(written.data(), target.data(), n) != 0) {
    fputs("patch_bench: output differs from the expected target\n", stderr);
    return 1;
  }
  printf("output verified\n");
  return 0;
}

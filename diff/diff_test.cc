#include "diff/diff.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileops/fileops.h"
#include "patch/crc32.h"
#include "patch/patch.h"
#include "testing/test_util.h"

namespace {

using testing_util::RandomBytes;
using testing_util::ReadFile;
using testing_util::WriteFile;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Applies the patch file at `path` to `old_bytes` with the project's own
// reader (into `path`.out): `new_bytes` and a header that describes both.
PatchHeader ExpectPatchGives(const std::string& path, const std::string& old_bytes,
                             const std::string& new_bytes) {
  PatchHeader h{};
  ScopedFile patch(fopen(path.c_str(), "rb")), out(fopen((path + ".out").c_str(), "wb"));
  EXPECT_EQ(read_patch_header(patch.get(), &h), 0);
  EXPECT_EQ(h.source_crc, crc32_bzip2(old_bytes.data(), old_bytes.size()));
  EXPECT_EQ(std::vector<size_t>({h.source_length, h.dest_length}),
            std::vector<size_t>({old_bytes.size(), new_bytes.size()}));
  EXPECT_EQ(apply_patch(h, patch.get(), Bytes(old_bytes), out.get()), 0);
  out.close();
  EXPECT_TRUE(ReadFile(path + ".out") == new_bytes) << "patched output differs";
  return h;
}

// Diffs, writes the patch, applies it and expects the new bytes back; every
// triple within the limits. Returns the triples and the extra block's size.
std::vector<ControlTriple> RoundTrip(const std::string& old_bytes, const std::string& new_bytes,
                                     size_t* extra = nullptr,
                                     const QxdiffOptions& limits = QxdiffOptions()) {
  std::vector<ControlTriple> triples;
  EXPECT_EQ(qxdiff_compute(Bytes(old_bytes), old_bytes.size(), Bytes(new_bytes), new_bytes.size(),
                           limits, &triples),
            kQxdiffOk);
  EXPECT_FALSE(triples.empty());
  for (const ControlTriple& t : triples) {
    EXPECT_LE(std::max(t.add_length, t.copy_length), limits.max_length);
    EXPECT_LE(std::abs(int64_t{t.seek_offset}), limits.max_seek);
  }
  testing_util::ScopedTempDir dir;
  ScopedFile patch(fopen(dir.Sub("p").c_str(), "wb"));
  EXPECT_EQ(qxdiff_write_patch(patch.get(), Bytes(old_bytes), old_bytes.size(), Bytes(new_bytes),
                               new_bytes.size(), triples),
            kQxdiffOk);
  patch.close();
  PatchHeader h = ExpectPatchGives(dir.Sub("p"), old_bytes, new_bytes);
  EXPECT_EQ(h.control_length, triples.size() * kControlTripleSize);
  if (extra) *extra = h.extra_length;
  return triples;
}

// Old bytes that look a little like code: a small alphabet with repeats.
std::string CodeLike(size_t n, unsigned seed) {
  std::string r = RandomBytes(n, seed);
  for (char& c : r) c = static_cast<char>("\x00\x8b\x48\x89\xe8\xff\x0f\x45"[c & 7] + (c & 0x30));
  return r;
}

// A copy of `s` with every byte at a multiple of `stride` changed, like
// shifted addresses in recompiled code.
std::string Sprinkle(std::string s, size_t stride) {
  for (size_t i = stride / 2; i < s.size(); i += stride) s[i] = static_cast<char>(s[i] + 3);
  return s;
}

// The index keeps a pointer to the data: it must outlive the index.
TEST(SuffixIndexTest, LongestMatch) {
  const std::string text = "abracadabra", last_only = "aaaab";
  SuffixIndex index, empty, last;
  size_t pos = 7;
  ASSERT_EQ(empty.Build(nullptr, 0), kQxdiffOk);
  EXPECT_EQ(empty.LongestMatch(Bytes("ab"), 2, &pos), 0u);
  ASSERT_EQ(index.Build(Bytes(text), text.size()), kQxdiffOk);
  EXPECT_EQ(index.LongestMatch(Bytes("acadx"), 5, &pos), 4u);
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(index.LongestMatch(Bytes("abrab"), 5, &pos), 4u);
  EXPECT_EQ(index.LongestMatch(Bytes("zz"), 2, &pos), 0u);
  // A byte that occurs only as the last one: its one-byte suffix must not
  // fall into a neighbouring two-byte bucket.
  ASSERT_EQ(last.Build(Bytes(last_only), last_only.size()), kQxdiffOk);
  EXPECT_EQ(last.LongestMatch(Bytes("bz"), 2, &pos), 1u);
  EXPECT_EQ(pos, 4u);
  EXPECT_EQ(last.LongestMatch(Bytes("aaaaaa"), 6, &pos), 4u);
}

TEST(QxdiffTest, RoundTrips) {
  const std::string code = CodeLike(20000, 5), added = RandomBytes(1000, 6);
  const std::string a = code.substr(0, 5000), b = code.substr(5000, 5000), c = code.substr(10000);
  const size_t kAny = SIZE_MAX;
  // Upper bounds on the patch: triples and extra bytes.
  const struct {
    std::string old_bytes, new_bytes;
    size_t triples, extra;
  } cases[] = {
      {"", "", 1, 0},
      {code, "", kAny, 0},
      {"", code, kAny, code.size()},
      {code, code, 1, 0},
      {"x", "y", kAny, 1},
      // Only inserted bytes are new; everything else is matched, also moved
      // and repeated blocks.
      {code, a + b + added + c, kAny, 1064},
      {code, added + c + a + a, kAny, 1064},
      // Every 40th byte differs: an exact matcher would cut the file into 500
      // pieces; the extensions keep it whole.
      {code, Sprinkle(code, 40), 40, 200},
      {RandomBytes(30000, 30), RandomBytes(30000, 31), kAny, kAny},
      {std::string(100000, '\0'), std::string(50000, '\0') + "x" + std::string(70000, '\0'), kAny,
       kAny},
  };
  for (const auto& t : cases) {
    size_t extra = 0;
    EXPECT_LE(RoundTrip(t.old_bytes, t.new_bytes, &extra).size(), t.triples) << &t - cases;
    EXPECT_LE(extra, t.extra) << &t - cases;
  }
}

TEST(QxdiffTest, LimitsAndThreads) {
  QxdiffOptions small, two;
  small.max_length = 7;
  small.max_seek = 5;
  const std::string a = CodeLike(300, 50), b = CodeLike(300, 51);
  EXPECT_GT(RoundTrip(a + b, RandomBytes(100, 52) + b + a, nullptr, small).size(), 300u / 7);
  // More triples than the patch reader's control buffer holds.
  EXPECT_GT(RoundTrip("", RandomBytes(600000, 53), nullptr, small).size(), 6000u);
  // Several megabytes on two threads: the second starts without an alignment
  // and finds one at once.
  const std::string old_bytes = CodeLike(9 << 20, 40), added = RandomBytes(300000, 41);
  two.threads = 2;
  size_t extra = 0;
  RoundTrip(old_bytes,
            Sprinkle(old_bytes.substr(1 << 20) + added + old_bytes.substr(0, 1 << 20), 997), &extra,
            two);
  EXPECT_LE(extra, 300000u + 4096u);
}

TEST(QxdiffTest, FilesAndTheirFailures) {
  testing_util::ScopedTempDir dir;
  const std::string old_bytes = CodeLike(10000, 60), new_bytes = Sprinkle(old_bytes, 100);
  const std::string old_path = dir.Sub("old"), new_path = dir.Sub("new"), p = dir.Sub("p");
  WriteFile(old_path, old_bytes);
  WriteFile(new_path, new_bytes);
  std::string error;
  ASSERT_EQ(qxdiff_files(old_path.c_str(), new_path.c_str(), p.c_str(), 1, &error), kQxdiffOk);
  ExpectPatchGives(p, old_bytes, new_bytes);
  // Sparse files beyond the limits: the sizes are checked before anything is read.
  WriteFile(dir.Sub("big_old"), "");
  WriteFile(dir.Sub("big_new"), "");
  ASSERT_EQ(truncate(dir.Sub("big_old").c_str(), static_cast<off_t>(kQxdiffMaxOldSize + 1)), 0);
  ASSERT_EQ(truncate(dir.Sub("big_new").c_str(), static_cast<off_t>(kQxdiffMaxNewSize + 1)), 0);
  const struct {
    std::string old_path, new_path, patch_path;
    int rv;
    std::string named;  // in the message: the file at fault
  } cases[] = {
      {dir.Sub("missing"), new_path, p + "2", kQxdiffReadError, dir.Sub("missing")},
      {dir.path(), new_path, p + "2", kQxdiffReadError, dir.path()},
      {old_path, new_path, dir.Sub("no/such/p"), kQxdiffWriteError, dir.Sub("no/such/p")},
      {dir.Sub("big_old"), new_path, p + "2", kQxdiffTooLarge, dir.Sub("big_old")},
      {old_path, dir.Sub("big_new"), p + "2", kQxdiffTooLarge, dir.Sub("big_new")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qxdiff_files(c.old_path.c_str(), c.new_path.c_str(), c.patch_path.c_str(), 1, &error),
              c.rv);
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
    EXPECT_FALSE(testing_util::Exists(dir.Sub("p2")));
  }
}

}  // namespace

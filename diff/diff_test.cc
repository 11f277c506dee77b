#include "diff/diff.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fileops/fileops.h"
#include "patch/crc32.h"
#include "patch/patch.h"
#include "testing/test_util.h"

namespace {

using testing_util::RandomBytes;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct PatchStats {
  PatchHeader header{};
  std::vector<ControlTriple> triples;
  size_t nonzero_diff = 0;  // difference bytes that are not 0
};

// Diffs, writes the patch, applies it with the project's own apply_patch and
// expects the new bytes back. Returns what the patch looked like.
PatchStats RoundTrip(const std::string& old_bytes, const std::string& new_bytes,
                     const QxdiffOptions& limits = QxdiffOptions()) {
  PatchStats stats;
  EXPECT_EQ(kQxdiffOk, qxdiff_compute(Bytes(old_bytes), old_bytes.size(), Bytes(new_bytes),
                                      new_bytes.size(), limits, &stats.triples));
  EXPECT_FALSE(stats.triples.empty());
  for (const ControlTriple& t : stats.triples) {
    EXPECT_LE(t.add_length, limits.max_length);
    EXPECT_LE(t.copy_length, limits.max_length);
    EXPECT_LE(t.seek_offset, limits.max_seek);
    EXPECT_GE(t.seek_offset, -limits.max_seek);
  }
  ScopedTempDir dir;
  std::string patch_path = dir.Sub("p"), out_path = dir.Sub("out");
  ScopedFile patch(fopen(patch_path.c_str(), "w+b"));
  EXPECT_TRUE(patch);
  EXPECT_EQ(kQxdiffOk, qxdiff_write_patch(patch.get(), Bytes(old_bytes), old_bytes.size(),
                                          Bytes(new_bytes), new_bytes.size(), stats.triples));
  fflush(patch.get());
  rewind(patch.get());
  EXPECT_EQ(0, read_patch_header(patch.get(), &stats.header));
  EXPECT_EQ(old_bytes.size(), stats.header.source_length);
  EXPECT_EQ(crc32_bzip2(old_bytes.data(), old_bytes.size()), stats.header.source_crc);
  EXPECT_EQ(new_bytes.size(), stats.header.dest_length);
  EXPECT_EQ(stats.triples.size() * kControlTripleSize, stats.header.control_length);
  {
    ScopedFile out(fopen(out_path.c_str(), "wb"));
    EXPECT_EQ(0, apply_patch(stats.header, patch.get(), Bytes(old_bytes), out.get()));
  }
  EXPECT_TRUE(ReadFile(out_path) == new_bytes) << "patched output differs";
  std::string raw = ReadFile(patch_path);
  size_t diff_start = kPatchHeaderSize + stats.header.control_length;
  for (size_t i = 0; i < stats.header.diff_length; i++) {
    if (raw[diff_start + i] != 0) stats.nonzero_diff++;
  }
  return stats;
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

TEST(SuffixIndexTest, LongestMatchAgreesWithBruteForce) {
  for (unsigned seed = 1; seed <= 6; seed++) {
    // Tiny alphabets make long repeats; the last case has all 256 values.
    std::string data = RandomBytes(300 + seed * 50, seed);
    for (char& c : data) c = static_cast<char>(seed < 6 ? (c & 1) + 'a' * (seed & 1) : c);
    SuffixIndex index;
    ASSERT_EQ(kQxdiffOk, index.Build(Bytes(data), data.size()));
    std::string probes = data.substr(data.size() / 3) + RandomBytes(40, seed + 9) +
                         data.substr(0, 50) + data.substr(data.size() - 7);
    for (char& c : probes) c = static_cast<char>(seed < 6 ? (c & 1) + 'a' * (seed & 1) : c);
    for (size_t start = 0; start < probes.size(); start += 3) {
      const uint8_t* pattern = Bytes(probes) + start;
      size_t length = probes.size() - start;
      size_t best = 0;
      for (size_t p = 0; p < data.size(); p++) {
        size_t k = 0;
        while (k < length && p + k < data.size() && data[p + k] == probes[start + k]) k++;
        best = std::max(best, k);
      }
      size_t pos = 0;
      size_t got = index.LongestMatch(pattern, length, &pos);
      ASSERT_EQ(best, got) << "seed " << seed << " start " << start;
      ASSERT_LE(pos + got, data.size());
      ASSERT_EQ(0, memcmp(data.data() + pos, pattern, got));
    }
  }
}

TEST(SuffixIndexTest, EdgeCases) {
  SuffixIndex empty;
  ASSERT_EQ(kQxdiffOk, empty.Build(nullptr, 0));
  size_t pos = 7;
  EXPECT_EQ(0u, empty.LongestMatch(Bytes("ab"), 2, &pos));
  EXPECT_EQ(0u, pos);

  // A byte that occurs only as the last one: its one-byte suffix must not
  // fall into a neighbouring two-byte bucket.
  std::string data = "aaaab";
  SuffixIndex index;
  ASSERT_EQ(kQxdiffOk, index.Build(Bytes(data), data.size()));
  EXPECT_EQ(1u, index.LongestMatch(Bytes("bz"), 2, &pos));
  EXPECT_EQ(4u, pos);
  EXPECT_EQ(0u, index.LongestMatch(Bytes("c"), 1, &pos));
  EXPECT_EQ(2u, index.LongestMatch(Bytes("ab"), 2, &pos));
  EXPECT_EQ(3u, pos);
  EXPECT_EQ(4u, index.LongestMatch(Bytes("aaaaaa"), 6, &pos));
}

TEST(SuffixIndexTest, PrefersTheOccurrenceNearestTheHint) {
  // The same 40 bytes at five places, random filler between them.
  std::string block = RandomBytes(40, 70), data;
  std::vector<size_t> at;
  for (unsigned i = 0; i < 5; i++) {
    data += RandomBytes(1000, 71 + i);
    at.push_back(data.size());
    data += block;
  }
  SuffixIndex index;
  ASSERT_EQ(kQxdiffOk, index.Build(Bytes(data), data.size()));
  for (size_t target : at) {
    size_t pos = 0;
    EXPECT_EQ(40u, index.LongestMatch(Bytes(block), block.size(), &pos,
                                      static_cast<int64_t>(target) + 3));
    EXPECT_EQ(target, pos);
  }
}

TEST(QxdiffRoundTripTest, EmptyAndIdenticalInputs) {
  std::string data = CodeLike(5000, 3);
  PatchStats both_empty = RoundTrip("", "");
  EXPECT_EQ(1u, both_empty.triples.size());
  RoundTrip(data, "");
  PatchStats from_empty = RoundTrip("", data);
  EXPECT_EQ(data.size(), from_empty.header.extra_length);

  PatchStats same = RoundTrip(data, data);
  EXPECT_EQ(1u, same.triples.size());
  EXPECT_EQ(0u, same.header.extra_length);
  EXPECT_EQ(0u, same.nonzero_diff);
  RoundTrip("x", "x");
  RoundTrip("x", "y");
}

TEST(QxdiffRoundTripTest, PrependedAppendedAndInsertedData) {
  std::string old_bytes = CodeLike(20000, 5);
  std::string added = RandomBytes(1000, 6);
  for (const std::string& new_bytes :
       {added + old_bytes, old_bytes + added,
        old_bytes.substr(0, 7000) + added + old_bytes.substr(7000),
        old_bytes.substr(0, 5000) + old_bytes.substr(9000), old_bytes.substr(3000)}) {
    PatchStats s = RoundTrip(old_bytes, new_bytes);
    // Only the inserted bytes are new; everything else is matched.
    EXPECT_LE(s.header.extra_length, 1000u + 64u);
    EXPECT_LE(s.nonzero_diff, 64u);
  }
}

TEST(QxdiffRoundTripTest, MovedBlocksAreMatched) {
  std::string a = CodeLike(4000, 10), b = CodeLike(4000, 11), c = CodeLike(4000, 12),
              d = CodeLike(4000, 13);
  PatchStats s = RoundTrip(a + b + c + d, c + a + d + b);
  EXPECT_LE(s.header.extra_length, 64u);
  bool backwards = false;
  for (const ControlTriple& t : s.triples) backwards |= t.seek_offset < 0;
  EXPECT_TRUE(backwards) << "a moved block needs a seek back";
  // The same block used twice.
  RoundTrip(a + b, b + b + a + a);
}

TEST(QxdiffRoundTripTest, ApproximateMatchesGoToTheDifferenceBlock) {
  std::string old_bytes = CodeLike(50000, 20);
  std::string new_bytes = Sprinkle(old_bytes, 40);
  PatchStats s = RoundTrip(old_bytes, new_bytes);
  // Every 40th byte differs: an exact matcher would cut the file into 1250
  // pieces; the extensions keep it whole with few non-zero differences.
  EXPECT_LE(s.header.extra_length, 200u);
  EXPECT_LE(s.triples.size(), 40u);
  EXPECT_LE(s.nonzero_diff, 50000u / 40 + 50);
}

TEST(QxdiffRoundTripTest, UnrelatedAndRepetitiveData) {
  RoundTrip(RandomBytes(30000, 30), RandomBytes(30000, 31));
  RoundTrip(std::string(100000, '\0'), std::string(50000, '\0') + "x" + std::string(70000, '\0'));
  RoundTrip(std::string(1000, 'a'), std::string(3000, 'b'));
  std::string pattern = "0123456789";
  std::string rep;
  for (int i = 0; i < 2000; i++) rep += pattern;
  RoundTrip(rep, rep.substr(3) + "0123" + rep);
}

TEST(QxdiffRoundTripTest, FilesOfSeveralMegabytesOnTwoThreads) {
  std::string old_bytes = CodeLike(9 << 20, 40);
  std::string new_bytes = Sprinkle(
      old_bytes.substr(1 << 20) + RandomBytes(300000, 41) + old_bytes.substr(0, 1 << 20), 997);
  QxdiffOptions two;
  two.threads = 2;
  PatchStats s = RoundTrip(old_bytes, new_bytes, two);
  // The second thread starts without an alignment and finds one at once.
  EXPECT_LE(s.header.extra_length, 300000u + 4096u);
}

TEST(QxdiffRoundTripTest, LongRunsAndFarSeeksAreSplitToFitTheLimits) {
  QxdiffOptions small;
  small.max_length = 7;
  small.max_seek = 5;
  std::string a = CodeLike(300, 50), b = CodeLike(300, 51);
  PatchStats s = RoundTrip(a + b, RandomBytes(100, 52) + b + a, small);
  EXPECT_GT(s.triples.size(), 300u / 7);
  RoundTrip("", RandomBytes(50, 53), small);
  RoundTrip(RandomBytes(50, 54), "", small);
}

TEST(QxdiffFilesTest, WritesAPatchAndRefusesBadInputs) {
  ScopedTempDir dir;
  std::string old_bytes = CodeLike(10000, 60), new_bytes = Sprinkle(old_bytes, 100);
  WriteFile(dir.Sub("old"), old_bytes);
  WriteFile(dir.Sub("new"), new_bytes);
  std::string error;
  ASSERT_EQ(kQxdiffOk, qxdiff_files(dir.Sub("old").c_str(), dir.Sub("new").c_str(),
                                    dir.Sub("patch").c_str(), 1, &error))
      << error;
  ScopedFile patch(fopen(dir.Sub("patch").c_str(), "rb"));
  PatchHeader header;
  ASSERT_EQ(0, read_patch_header(patch.get(), &header));
  ScopedFile out(fopen(dir.Sub("out").c_str(), "wb"));
  ASSERT_EQ(0, apply_patch(header, patch.get(), Bytes(old_bytes), out.get()));
  out.close();
  EXPECT_TRUE(ReadFile(dir.Sub("out")) == new_bytes);

  EXPECT_EQ(kQxdiffReadError, qxdiff_files(dir.Sub("missing").c_str(), dir.Sub("new").c_str(),
                                           dir.Sub("p2").c_str(), 1, &error));
  EXPECT_NE(std::string::npos, error.find(dir.Sub("missing")));
  EXPECT_EQ(kQxdiffReadError, qxdiff_files(dir.path().c_str(), dir.Sub("new").c_str(),
                                           dir.Sub("p2").c_str(), 1, &error));
  EXPECT_EQ(kQxdiffWriteError, qxdiff_files(dir.Sub("old").c_str(), dir.Sub("new").c_str(),
                                            dir.Sub("no/such/dir/p").c_str(), 1, &error));
  EXPECT_FALSE(testing_util::Exists(dir.Sub("p2")));
}

TEST(QxdiffFilesTest, RefusesInputsBeyondTheLimits) {
  ScopedTempDir dir;
  WriteFile(dir.Sub("small"), "abc");
  // Sparse files: the sizes are checked before anything is read.
  std::string big_old = dir.Sub("big_old"), big_new = dir.Sub("big_new");
  WriteFile(big_old, "");
  WriteFile(big_new, "");
  ASSERT_EQ(0, truncate(big_old.c_str(), static_cast<off_t>(kQxdiffMaxOldSize + 1)));
  ASSERT_EQ(0, truncate(big_new.c_str(), static_cast<off_t>(kQxdiffMaxNewSize + 1)));
  std::string error;
  EXPECT_EQ(kQxdiffTooLarge, qxdiff_files(big_old.c_str(), dir.Sub("small").c_str(),
                                          dir.Sub("p").c_str(), 1, &error));
  EXPECT_NE(std::string::npos, error.find("big_old"));
  EXPECT_EQ(kQxdiffTooLarge, qxdiff_files(dir.Sub("small").c_str(), big_new.c_str(),
                                          dir.Sub("p").c_str(), 1, &error));
  EXPECT_NE(std::string::npos, error.find("big_new"));
  EXPECT_FALSE(testing_util::Exists(dir.Sub("p")));
}

}  // namespace

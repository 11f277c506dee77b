#include "patch/patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fileops/fileops.h"
#include "patch/patch_test_util.h"
#include "testing/test_util.h"

namespace {

using patch_testing::MakePatch;
using patch_testing::MakePatchFor;
using patch_testing::PatchParts;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

class PatchTest : public ::testing::Test {
 protected:
  struct Result {
    int header_rv = -100;
    int apply_rv = -100;
    std::string output;
  };

  int ReadHeader(const std::string& bytes, PatchHeader* header, long* pos = nullptr) {
    WriteFile(dir_.Sub("p"), bytes);
    ScopedFile f(fopen(dir_.Sub("p").c_str(), "rb"));
    EXPECT_TRUE(f);
    int rv = read_patch_header(f.get(), header);
    if (pos) *pos = ftell(f.get());
    return rv;
  }

  // Header check, then application to a fresh output file.
  Result Apply(const std::string& bytes, const std::string& source) {
    Result r;
    WriteFile(dir_.Sub("p"), bytes);
    ScopedFile patch(fopen(dir_.Sub("p").c_str(), "rb"));
    PatchHeader header;
    r.header_rv = read_patch_header(patch.get(), &header);
    if (r.header_rv != 0) return r;
    ScopedFile out(fopen(dir_.Sub("out").c_str(), "wb"));
    r.apply_rv = apply_patch(header, patch.get(),
                             reinterpret_cast<const unsigned char*>(source.data()), out.get());
    out.close();
    r.output = ReadFile(dir_.Sub("out"));
    return r;
  }

  ScopedTempDir dir_;
};

TEST_F(PatchTest, HeaderFieldsAreBigEndianAndStreamStandsAtBlocks) {
  PatchParts p = MakePatch("source!", {{3, 2, 1}}, "abc", "xy");
  p.header.dest_length = 0x01020304;
  p.header.source_crc = 0xA1B2C3D4;
  std::string bytes = p.Serialize();
  ASSERT_EQ(bytes.substr(0, 16), std::string("QXPATCH1\0\0\0\x07\xA1\xB2\xC3\xD4", 16));
  PatchHeader h;
  long pos = 0;
  ASSERT_EQ(ReadHeader(bytes, &h, &pos), 0);
  EXPECT_EQ(pos, 32);
  EXPECT_EQ(std::string(h.tag, 8), "QXPATCH1");
  EXPECT_EQ(h.source_length, 7u);
  EXPECT_EQ(h.source_crc, 0xA1B2C3D4u);
  EXPECT_EQ(h.dest_length, 0x01020304u);
  EXPECT_EQ(h.control_length, 12u);
  EXPECT_EQ(h.diff_length, 3u);
  EXPECT_EQ(h.extra_length, 2u);
}

TEST_F(PatchTest, EveryTruncationIsRefused) {
  const std::string bytes = MakePatchFor("old contents", "new contents, longer").Serialize();
  PatchHeader h;
  for (size_t n = 0; n < bytes.size(); ++n) {
    int want = n < kPatchHeaderSize ? kReadError : kCorruptPatch;
    ASSERT_EQ(ReadHeader(bytes.substr(0, n), &h), want) << "prefix " << n;
  }
  // A short header is a read failure even when its tag is wrong too.
  EXPECT_EQ(ReadHeader("XXPATCH1\0\0", &h), kReadError);
}

TEST_F(PatchTest, WrongTagOrSizeIsCorrupt) {
  const std::string good = MakePatchFor("abcdef", "abcxyz").Serialize();
  PatchHeader h;
  ASSERT_EQ(ReadHeader(good, &h), 0);
  for (size_t i = 0; i < kPatchTagSize; ++i) {
    std::string bad = good;
    bad[i] ^= 0x20;
    EXPECT_EQ(ReadHeader(bad, &h), kCorruptPatch) << "tag byte " << i;
  }
  EXPECT_EQ(ReadHeader(good + "!", &h), kCorruptPatch);
  EXPECT_EQ(ReadHeader(good.substr(0, good.size() - 1), &h), kCorruptPatch);
}

TEST_F(PatchTest, BlockLengthsDoNotWrapAround) {
  // 32 + 12 + 0xFFFFFFF0 + 0x14 is 48 in 32-bit arithmetic: the file's size.
  PatchParts p = MakePatch("", {{0, 0, 0}}, "", "");
  p.header.diff_length = 0xFFFFFFF0u;
  p.header.extra_length = 0x14u;
  std::string bytes = p.Serialize() + std::string(4, 'z');
  ASSERT_EQ(bytes.size(), 48u);
  PatchHeader h;
  EXPECT_EQ(ReadHeader(bytes, &h), kCorruptPatch);
}

TEST_F(PatchTest, ControlBlockMustHoldWholeTriples) {
  PatchHeader h;
  PatchParts empty = MakePatch("src", {}, "", "");
  EXPECT_EQ(ReadHeader(empty.Serialize(), &h), kCorruptPatch);
  PatchParts ragged = MakePatch("src", {{1, 0, 0}}, "d", "");
  ragged.control += '\0';
  ragged.header.control_length = 13;
  EXPECT_EQ(ReadHeader(ragged.Serialize(), &h), kCorruptPatch);
  // apply_patch refuses it too when handed such a header directly, before
  // reading or writing anything.
  WriteFile(dir_.Sub("p"), ragged.Serialize());
  ScopedFile f(fopen(dir_.Sub("p").c_str(), "rb"));
  ScopedFile out(fopen(dir_.Sub("out").c_str(), "wb"));
  ASSERT_EQ(fseek(f.get(), kPatchHeaderSize, SEEK_SET), 0);
  const unsigned char src[] = "src";
  EXPECT_EQ(apply_patch(ragged.header, f.get(), src, out.get()), kCorruptPatch);
  EXPECT_EQ(ftell(f.get()), 32);
  EXPECT_EQ(ftell(out.get()), 0);
}

TEST_F(PatchTest, AddsCopiesAndSeeksBackToReuseSource) {
  const std::string source = "ABCDEFGH";
  // "ABCD" unchanged, then "--", then "CDEF" again with +1 ("DEFG"), then
  // the last two source bytes plus 0, then "!".
  std::vector<ControlTriple> triples = {
      {4, 2, -2},  // source cursor 4 -> 2
      {4, 0, 0},   // reads C..F, cursor 6
      {2, 1, 0},   // reads G,H: the add ends exactly at the source's end
  };
  std::string diff = std::string(4, '\0') + std::string(4, '\1') + std::string(2, '\0');
  Result r = Apply(MakePatch(source, triples, diff, "--!").Serialize(), source);
  ASSERT_EQ(r.header_rv, 0);
  EXPECT_EQ(r.apply_rv, 0);
  EXPECT_EQ(r.output, "ABCD--DEFGGH!");
}

TEST_F(PatchTest, DifferenceBytesWrapModulo256) {
  const std::string source("\xFF\x80\x01", 3);
  Result r =
      Apply(MakePatch(source, {{3, 0, 0}}, std::string("\x02\x80\xFF", 3), "").Serialize(), source);
  EXPECT_EQ(r.apply_rv, 0);
  EXPECT_EQ(r.output, std::string("\x01\x00\x00", 3));
}

TEST_F(PatchTest, SeekToSourceEndZeroStepsAndUnusedBytesAreValid) {
  const std::string source = "0123456789";
  std::vector<ControlTriple> triples = {
      {0, 0, 10},  // cursor exactly at the end
      {0, 3, -10},
      {0, 0, 0},
      {2, 0, 8},  // add 2 then to the end again
  };
  Result r =
      Apply(MakePatch(source, triples, std::string(5, '\0'), "abc-unused").Serialize(), source);
  EXPECT_EQ(r.apply_rv, 0);
  EXPECT_EQ(r.output, "abc01");
}

TEST_F(PatchTest, OneTripleRoundTripOfRandomData) {
  const std::string source = testing_util::RandomBytes(100000, 1);
  std::string target = testing_util::RandomBytes(120000, 2);
  target.replace(0, 5000, source, 0, 5000);
  Result r = Apply(MakePatchFor(source, target).Serialize(), source);
  EXPECT_EQ(r.apply_rv, 0);
  EXPECT_TRUE(r.output == target);
}

// A corrupt triple after a good one: 41, and the output holds exactly what was
// written before the failing check.
TEST_F(PatchTest, OutputAfterFailingTriple) {
  const std::string source = "abcdefgh";
  struct Case {
    const char* what;
    ControlTriple bad;
    size_t diff_size;
    std::string output;
  } cases[] = {
      {"add past the source", {6, 0, 0}, 8, "ab1"},
      {"add past the difference block", {5, 0, 0}, 6, "ab1"},
      {"copy past the extra block", {1, 3, 0}, 8, "ab1d"},
      {"seek past the source's end", {1, 1, 5}, 8, "ab1dX"},
      {"seek before the source's start", {1, 1, -5}, 8, "ab1dX"},
  };
  for (const Case& c : cases) {
    // The good triple writes "ab" and "1" and leaves the source cursor at 3;
    // the triple after the bad one would write more if it were reached.
    std::vector<ControlTriple> triples = {{2, 1, 1}, c.bad, {1, 0, 0}};
    PatchParts p = MakePatch(source, triples, std::string(c.diff_size, '\0'), "1XY");
    Result r = Apply(p.Serialize(), source);
    ASSERT_EQ(r.header_rv, 0) << c.what;
    EXPECT_EQ(r.apply_rv, kCorruptPatch) << c.what;
    EXPECT_EQ(r.output, c.output) << c.what;
  }
}

TEST_F(PatchTest, ShortBlockReadAndShortWrite) {
  const std::string source = "hello";
  PatchParts p = MakePatchFor(source, "hello, world");
  const std::string bytes = p.Serialize();
  // The header promises more block bytes than the stream holds.
  WriteFile(dir_.Sub("p"), bytes.substr(0, bytes.size() - 1));
  ScopedFile patch(fopen(dir_.Sub("p").c_str(), "rb"));
  ASSERT_EQ(fseek(patch.get(), kPatchHeaderSize, SEEK_SET), 0);
  ScopedFile out(fopen(dir_.Sub("out").c_str(), "wb"));
  const auto* src = reinterpret_cast<const unsigned char*>(source.data());
  EXPECT_EQ(apply_patch(p.header, patch.get(), src, out.get()), kReadError);
  EXPECT_EQ(ftell(out.get()), 0);

  // Unbuffered /dev/full fails every write as it happens.
  WriteFile(dir_.Sub("p"), bytes);
  patch.reset(fopen(dir_.Sub("p").c_str(), "rb"));
  ASSERT_EQ(fseek(patch.get(), kPatchHeaderSize, SEEK_SET), 0);
  ScopedFile full(fopen("/dev/full", "wb"));
  if (!full) GTEST_SKIP() << "/dev/full is not available";
  setvbuf(full.get(), nullptr, _IONBF, 0);
  EXPECT_EQ(apply_patch(p.header, patch.get(), src, full.get()), kWriteError);
}

// Blocks far larger than the read buffers, with triples and runs that straddle
// every buffer boundary: the output of a regular file, read in pieces, equals
// the one of a memory stream, read whole, and a reference built here; both
// streams are left at the end of the blocks.
TEST_F(PatchTest, LargeBlocksStreamedAndReadWholeAgree) {
  const std::string source = testing_util::RandomBytes(3 << 20, 31);
  const std::string noise = testing_util::RandomBytes(8 << 20, 32);
  std::vector<ControlTriple> triples;
  std::string diff, extra, want;
  int64_t pos = 0;
  uint32_t step = 1;
  size_t used = 0;
  while (diff.size() < (size_t{5} << 20)) {
    step = step * 1103515245u + 12345u;
    uint32_t add = std::min<uint32_t>((step >> 8) % 1500, source.size() - pos);
    uint32_t copy = (step >> 4) % 700;
    for (uint32_t i = 0; i < add; ++i) {
      unsigned char d = static_cast<unsigned char>(noise[used++ % noise.size()]);
      diff.push_back(static_cast<char>(d));
      want.push_back(static_cast<char>(d + static_cast<unsigned char>(source[pos + i])));
    }
    extra += noise.substr((used * 7) % (noise.size() - copy), copy);
    want += extra.substr(extra.size() - copy);
    pos += add;
    // Seek back now and then, so that source bytes are used again.
    int32_t seek = pos > (1 << 20) && step % 5 == 0 ? -(1 << 19) : static_cast<int32_t>(step % 9);
    if (pos + seek > static_cast<int64_t>(source.size())) seek = 0;
    triples.push_back({add, copy, seek});
    pos += seek;
  }
  PatchParts p = MakePatch(source, triples, diff, extra);
  ASSERT_GT(p.control.size(), size_t{64} << 10);
  ASSERT_GT(extra.size(), size_t{1} << 20);
  const std::string bytes = p.Serialize();
  const auto* src = reinterpret_cast<const unsigned char*>(source.data());

  Result streamed = Apply(bytes, source);
  ASSERT_EQ(streamed.apply_rv, 0);
  EXPECT_TRUE(streamed.output == want);

  std::string copy = bytes;
  ScopedFile memory(fmemopen(&copy[0], copy.size(), "rb"));
  ASSERT_TRUE(memory);
  PatchHeader h;
  ASSERT_EQ(fread(&h, 1, kPatchHeaderSize, memory.get()), kPatchHeaderSize);
  ScopedFile out(fopen(dir_.Sub("out2").c_str(), "wb"));
  EXPECT_EQ(apply_patch(p.header, memory.get(), src, out.get()), 0);
  EXPECT_EQ(ftell(memory.get()), static_cast<long>(bytes.size()));
  out.close();
  EXPECT_TRUE(ReadFile(dir_.Sub("out2")) == want);

  WriteFile(dir_.Sub("p"), bytes);
  ScopedFile patch(fopen(dir_.Sub("p").c_str(), "rb"));
  ASSERT_EQ(read_patch_header(patch.get(), &h), 0);
  ScopedFile null_out(fopen("/dev/null", "wb"));
  EXPECT_EQ(apply_patch(h, patch.get(), src, null_out.get()), 0);
  EXPECT_EQ(ftell(patch.get()), static_cast<long>(bytes.size()));
}

// The reservation follows dest_length, the file's size follows the patch.
TEST_F(PatchTest, WritePatchedFileSizeIsWhatThePatchWrote) {
  const std::string source = "0123456789";
  for (uint32_t dest_length : {0u, 5u, 13u, 4096u}) {
    PatchParts p = MakePatchFor(source, "0123456789abc");
    p.header.dest_length = dest_length;
    WriteFile(dir_.Sub("p"), p.Serialize());
    ScopedFile patch(fopen(dir_.Sub("p").c_str(), "rb"));
    PatchHeader h;
    ASSERT_EQ(read_patch_header(patch.get(), &h), 0);
    ScopedFile out(fopen(dir_.Sub("out").c_str(), "wb"));
    EXPECT_EQ(write_patched_file(h, patch.get(),
                                 reinterpret_cast<const unsigned char*>(source.data()), out.get()),
              0);
    EXPECT_EQ(ReadFile(dir_.Sub("out")), "0123456789abc") << dest_length;
  }
}

}  // namespace

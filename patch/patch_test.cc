#include "patch/patch.h"

#include <gtest/gtest.h>

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
using testing_util::WriteFile;

const unsigned char* Src(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

class PatchTest : public ::testing::Test {
 protected:
  // The patch file `bytes`, open at byte `at`.
  FILE* Open(const std::string& bytes, long at = 0) {
    WriteFile(dir_.Sub("p"), bytes);
    patch_.reset(fopen(dir_.Sub("p").c_str(), "rb"));
    if (patch_) fseek(patch_.get(), at, SEEK_SET);
    return patch_.get();
  }
  int ReadHeader(const std::string& bytes, PatchHeader* header) {
    return read_patch_header(Open(bytes), header);
  }
  // apply_patch into a fresh file: its code, and what it wrote.
  int Apply(const PatchHeader& header, FILE* patch, const std::string& source, std::string* out) {
    ScopedFile f(fopen(dir_.Sub("out").c_str(), "wb"));
    int rv = apply_patch(header, patch, Src(source), f.get());
    f.close();
    *out = ReadFile(dir_.Sub("out"));
    return rv;
  }
  // The same after the header check of the patch file `bytes`, which refuses
  // exactly the triples that apply_patch refuses on its own (a stream that
  // cannot be read twice is not checked ahead). The blocks read whole from
  // memory instead give the same result, and both streams end after the blocks.
  int Apply(const std::string& bytes, const std::string& source, std::string* out) {
    PatchHeader header;
    const int checked = ReadHeader(bytes, &header);  // leaves the stream at the blocks
    const int rv = Apply(header, patch_.get(), source, out);
    EXPECT_EQ(checked, rv);
    std::string copy = bytes, from_memory;
    ScopedFile memory(fmemopen(&copy[0], copy.size(), "rb"));
    fseek(memory.get(), kPatchHeaderSize, SEEK_SET);
    EXPECT_EQ(Apply(header, memory.get(), source, &from_memory), rv);
    EXPECT_EQ(from_memory, *out);
    EXPECT_EQ(ftell(memory.get()), ftell(patch_.get()));
    EXPECT_EQ(ftell(memory.get()), static_cast<long>(bytes.size()));
    return rv;
  }

  testing_util::ScopedTempDir dir_;
  ScopedFile patch_;
};

TEST_F(PatchTest, HeaderIsBigEndianAndMalformedOnesAreRefused) {
  PatchParts p = MakePatch("source!", {{3, 2, 1}}, "abc", "xy");
  p.header.source_crc = 0xA1B2C3D4;
  const std::string good = p.Serialize();
  ASSERT_EQ(good.substr(0, 20), std::string("QXPATCH1\0\0\0\x07\xA1\xB2\xC3\xD4\0\0\0\x05", 20));
  PatchHeader h;
  ASSERT_EQ(ReadHeader(good, &h), 0);
  EXPECT_EQ(ftell(patch_.get()), 32);  // the stream stands at the blocks
  EXPECT_EQ(std::vector<uint32_t>({h.source_length, h.source_crc, h.dest_length, h.control_length,
                                   h.diff_length, h.extra_length}),
            std::vector<uint32_t>({7, 0xA1B2C3D4u, 5, 12, 3, 2}));
  for (size_t n = 0; n < good.size(); ++n) {
    ASSERT_EQ(ReadHeader(good.substr(0, n), &h), n < kPatchHeaderSize ? kReadError : kCorruptPatch)
        << "prefix " << n;
  }
  EXPECT_EQ(ReadHeader("XXPATCH1\0\0", &h), kReadError);  // short counts before the tag
  for (size_t i = 0; i < kPatchTagSize; ++i) {
    std::string bad = good;
    bad[i] ^= 0x20;
    EXPECT_EQ(ReadHeader(bad, &h), kCorruptPatch) << "tag byte " << i;
  }
  EXPECT_EQ(ReadHeader(good + "!", &h), kCorruptPatch);
  // 32 + 12 + 0xFFFFFFF0 + 0x14 is 48 in 32-bit arithmetic: the file's size.
  PatchParts wrap = MakePatch("", {{0, 0, 0}}, "", "");
  wrap.header.diff_length = 0xFFFFFFF0u;
  wrap.header.extra_length = 0x14u;
  EXPECT_EQ(ReadHeader(wrap.Serialize() + "zzzz", &h), kCorruptPatch);
  // The triples must write exactly dest_length bytes from the blocks, checked
  // before anything is reserved: a dest_length of gigabytes is refused.
  // (The triples' own checks: TriplesAreAppliedAndCheckedInOrder.)
  for (uint32_t change : {1u, 0xFFFFFFFFu, 0xFFFFFF00u}) {
    PatchParts l = p;
    l.header.dest_length += change;
    EXPECT_EQ(ReadHeader(l.Serialize(), &h), kCorruptPatch) << change;
  }
  // The control block must hold whole triples, at least one.
  EXPECT_EQ(ReadHeader(MakePatch("src", {}, "", "").Serialize(), &h), kCorruptPatch);
  PatchParts ragged = MakePatch("src", {{1, 0, 0}}, "d", "");
  ragged.control += '\0';
  ragged.header.control_length = 13;
  EXPECT_EQ(ReadHeader(ragged.Serialize(), &h), kCorruptPatch);
  // apply_patch refuses it too, before reading or writing anything.
  std::string out = "-";
  EXPECT_EQ(Apply(ragged.header, Open(ragged.Serialize(), 32), "src", &out), kCorruptPatch);
  EXPECT_EQ(ftell(patch_.get()), 32);
  EXPECT_EQ(out, "");
}

// Each case's output is what was written, also before a failing triple.
TEST_F(PatchTest, TriplesAreAppliedAndCheckedInOrder) {
  struct Case {
    std::string source;
    std::vector<ControlTriple> triples;
    std::string diff, extra;
    int rv;
    std::string output;
  };
  const std::string z2(2, '\0'), z4(4, '\0'), z6(6, '\0'), z8(8, '\0'), ones = "\1\1\1\1";
  const std::string ab = "abcdefgh";
  const int k41 = kCorruptPatch;
  const Case cases[] = {
      // "ABCD", "--", "CDEF" + 1, then an add that ends exactly at the source's end.
      {"ABCDEFGH", {{4, 2, -2}, {4, 0, 0}, {2, 1, 0}}, z4 + ones + z2, "--!", 0, "ABCD--DEFGGH!"},
      {"\xFF\x80\x01", {{3, 0, 0}}, "\x02\x80\xFF", "", 0, std::string("\x01\0\0", 3)},
      // Seek to the source's end, steps of zero, unused bytes.
      {"0123456789", {{0, 0, 10}, {0, 3, -10}, {0, 0, 0}, {2, 0, 8}}, z4, "abc-unused", 0, "abc01"},
      // The first triple writes "ab" and "1" and leaves the source cursor at
      // 3; the last would write more if it were reached.
      {ab, {{2, 1, 1}, {6, 0, 0}, {1, 0, 0}}, z8, "1XY", k41, "ab1"},   // add past the source
      {ab, {{2, 1, 1}, {5, 0, 0}, {1, 0, 0}}, z6, "1XY", k41, "ab1"},   // ... the difference block
      {ab, {{2, 1, 1}, {1, 3, 0}, {1, 0, 0}}, z8, "1XY", k41, "ab1d"},  // copy past the extra block
      {ab, {{2, 1, 1}, {1, 1, 5}, {1, 0, 0}}, z8, "1XY", k41, "ab1dX"},   // seek past the end
      {ab, {{2, 1, 1}, {1, 1, -5}, {1, 0, 0}}, z8, "1XY", k41, "ab1dX"},  // ... before the start
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(Apply(MakePatch(c.source, c.triples, c.diff, c.extra).Serialize(), c.source, &output),
              c.rv)
        << &c - cases;
    EXPECT_EQ(output, c.output) << &c - cases;
  }
}

TEST_F(PatchTest, ShortBlockReadAndShortWrite) {
  PatchParts p = MakePatchFor("hello", "hello, world");
  const std::string bytes = p.Serialize();
  // The header promises more block bytes than the stream holds.
  std::string out = "-";
  EXPECT_EQ(Apply(p.header, Open(bytes.substr(0, bytes.size() - 1), 32), "hello", &out),
            kReadError);
  EXPECT_EQ(out, "");
  // Unbuffered /dev/full fails every write as it happens.
  ScopedFile full(fopen("/dev/full", "wb"));
  if (!full) GTEST_SKIP() << "/dev/full is not available";
  setvbuf(full.get(), nullptr, _IONBF, 0);
  EXPECT_EQ(apply_patch(p.header, Open(bytes, 32), Src("hello"), full.get()), kWriteError);
}

// The reservation follows dest_length, the file's size follows the patch.
TEST_F(PatchTest, WritePatchedFileSizeIsWhatThePatchWrote) {
  const std::string source = "0123456789";
  for (uint32_t dest_length : {0u, 5u, 13u, 4096u}) {
    PatchParts p = MakePatchFor(source, "0123456789abc");
    p.header.dest_length = dest_length;
    ScopedFile out(fopen(dir_.Sub("out").c_str(), "wb"));
    EXPECT_EQ(write_patched_file(p.header, Open(p.Serialize(), 32), Src(source), out.get()), 0);
    EXPECT_EQ(ReadFile(dir_.Sub("out")), "0123456789abc") << dest_length;
  }
}

}  // namespace

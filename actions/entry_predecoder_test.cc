#include "actions/entry_predecoder.h"

#include <gtest/gtest.h>

#include <tuple>

#include "actions/actions_test_util.h"
#include "patch/patch_test_util.h"

namespace actions_test {
namespace {

using EntryPredecoderTest = WorkDirTest;

// The same manifest run on identical trees, with decoders working ahead and
// without, leaves the same tree (the temporary patch files included) and log
// and returns the same code. Early decoding that fails (a missing entry, a
// corrupt stream, no place for the hidden files) leaves the work to the
// action, which fails as it would have; the entries decoded after it are
// dropped. Stale hidden files of an earlier run lend nothing to the new files.
// Without a work directory every action extracts as usual.
TEST_F(EntryPredecoderTest, SameTreeLogAndResultAsExtractingInTurn) {
  const std::string big_old = testing_util::RandomBytes(900000, 3);
  const std::string big_new = big_old.substr(1000) + testing_util::RandomBytes(5000, 4);
  const std::string patch_a = patch_testing::MakePatchFor("aaaa", "AAAA").Serialize();
  std::vector<archive_testing::TestEntry> entries = {
      {"top", "replaced", 0600},
      {"cond", "conditional", 0644},
      // Decoded ahead, then dropped when the add-if that owns it is skipped.
      {"never", testing_util::RandomBytes(300000, 99), 0644},
      {"raw", testing_util::RandomBytes(20000, 5), 0644, false},
      {"a.patch", patch_a},
      {"big.patch", patch_testing::MakePatchFor(big_old, big_new).Serialize(), 0600},
      {"raw.patch", patch_a, 0644, false}};
  std::string adds, first_adds, next_adds;
  for (int i = 0; i < 40; ++i) {
    std::string name = "d" + std::to_string(i % 4) + "/sub/f" + std::to_string(i);
    // Sizes from empty to several decompression steps.
    size_t size = i == 7 ? (700u << 10) : static_cast<size_t>(i) * 997;
    entries.push_back({name, testing_util::RandomBytes(size, i), i % 3 == 0 ? 0755u : 0640u});
    adds += "add \"" + name + "\"\n";
    if (i < 7) first_adds = adds;
    if (i >= 7 && i < 14) next_adds += "add \"" + name + "\"\n";
  }
  OpenArchive(entries);
  // The code, the tree, the log and the temporary patch files after Prepare.
  using Outcome = std::tuple<int, Tree, std::string, std::vector<std::string>>;
  bool no_work_dir = false;
  auto run = [&](const std::string& manifest, int threads, bool stale) {
    ResetTree();
    const int work = WorkDir();
    WriteFile(Path("top"), "old top", 0644);
    WriteFile(Path("gone"), "bye", 0644);
    WriteFile(Path("d1/sub/f1"), "old f1", 0600);
    WriteFile(Path("a"), "aaaa");
    WriteFile(Path("lib/big"), big_old, 0755);
    for (int i = 0; stale && i < 8; ++i)
      WriteFile(Path("updating/.early-" + std::to_string(i)), "stale", 0700);
    ClearLog();
    ActionList list;
    list.SetWorkDir(work);
    EXPECT_EQ(0, Parse(manifest, &list));
    Outcome out;
    int& rv = std::get<0>(out);
    bool prepared;
    {
      EntryPredecoder predecoder(&list, no_work_dir ? -1 : work);
      predecoder.Start(threads);
      prepared = (rv = list.PrepareAll()) == 0;
      for (int i = 0; i < context_.next_patch_index; ++i)
        std::get<3>(out).push_back(ReadFile(Path("updating/" + std::to_string(i) + ".patch")));
      if (prepared) rv = list.ExecuteAll();
    }
    if (prepared) list.FinishAll(rv);
    if (stale) ensure_remove_recursive(AT_FDCWD, Path("updating").c_str());
    std::get<1>(out) = Snapshot();
    std::get<2>(out) = Log();
    return out;
  };
  auto expect_same_as_usual = [&](const std::string& manifest, int want_rv, bool stale = false) {
    Outcome usual = run(manifest, 0, stale);
    EXPECT_EQ(want_rv, std::get<0>(usual)) << manifest;
    for (int threads : {1, 2, 3}) {
      Outcome ahead = run(manifest, threads, stale);
      EXPECT_EQ(std::get<0>(usual), std::get<0>(ahead)) << threads << manifest;
      EXPECT_EQ("", DiffSnapshots(std::get<1>(usual), std::get<1>(ahead))) << threads << manifest;
      EXPECT_EQ(std::get<2>(usual), std::get<2>(ahead)) << threads << manifest;
      EXPECT_TRUE(std::get<3>(usual) == std::get<3>(ahead)) << threads << manifest;
    }
  };
  expect_same_as_usual("remove \"gone\"\nadd-if \"missing\" \"never\"\n" + adds +
                           "add \"top\"\nadd-if \"top\" \"cond\"\n"
                           "patch-if \"missing\" \"big.patch\" \"lib/big\"\n"
                           "patch \"a.patch\" \"a\"\npatch \"big.patch\" \"lib/big\"\n",
                       0);
  EXPECT_TRUE(entries.back().contents == ReadFile(Path("d3/sub/f39")));
  EXPECT_EQ(0755u, testing_util::ModeOf(Path("d3/sub/f3")));
  EXPECT_TRUE(ReadFile(Path("lib/big")) == big_new);
  expect_same_as_usual(first_adds + "add \"nowhere\"\n" + next_adds, kReadError);
  expect_same_as_usual(first_adds + "add \"raw\"\n" + next_adds, 39);
  expect_same_as_usual("patch \"a.patch\" \"a\"\npatch \"absent\" \"lib/big\"\n" + first_adds,
                       kReadError);
  expect_same_as_usual("patch \"a.patch\" \"a\"\npatch \"raw.patch\" \"lib/big\"\n" + first_adds,
                       39);
  expect_same_as_usual(first_adds, 0, /*stale=*/true);
  no_work_dir = true;
  expect_same_as_usual(first_adds, 0);
}

}  // namespace
}  // namespace actions_test

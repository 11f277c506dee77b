#include "actions/patch_action.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "actions/action.h"
#include "actions/add_action.h"
#include "actions/entry_predecoder.h"
#include "archive/archive_reader.h"
#include "archive/archive_test_util.h"
#include "base/run_settings.h"
#include "base/update_log.h"
#include "patch/crc32.h"
#include "patch/patch_test_util.h"
#include "testing/test_util.h"

namespace {

using patch_testing::MakePatch;
using patch_testing::MakePatchFor;
using patch_testing::PatchParts;
using testing_util::Exists;
using testing_util::ModeOf;
using testing_util::ReadFile;
using testing_util::ScopedTempDir;
using testing_util::WriteFile;

// The installation is a temporary tree that is also the working directory and
// applyToDir, with its "updating" directory; the log lives elsewhere.
class PatchActionTest : public ::testing::Test {
 protected:
  PatchActionTest() {
    char cwd[4096];
    old_cwd_ = getcwd(cwd, sizeof(cwd)) ? cwd : "/";
    EXPECT_EQ(chdir(tree_.path().c_str()), 0);
    snprintf(applyToDir, sizeof(applyToDir), "%s", tree_.path().c_str());
    EXPECT_EQ(mkdir("updating", 0755), 0);
    nextPatchIndex = 0;
    UpdateLog::Instance().Close();
    UpdateLog::Instance().Open(log_dir_.path().c_str(), "update.log", nullptr, false);
  }
  ~PatchActionTest() override {
    gArchiveReader.Close();
    UpdateLog::Instance().Close();
    EXPECT_EQ(chdir(old_cwd_.c_str()), 0);
  }

  std::vector<std::string> LogLines() {
    UpdateLog::Instance().Flush();
    std::string all = ReadFile(log_dir_.Sub("update.log"));
    std::vector<std::string> lines;
    for (size_t start = 0, nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(all.substr(start, nl - start));
    }
    return lines;
  }

  // Entries of the update archive: name -> contents (a patch's bytes).
  void OpenArchive(const std::map<std::string, std::string>& entries) {
    std::vector<archive_testing::TestEntry> list;
    for (const auto& [name, contents] : entries) list.push_back({name, contents});
    std::string path = archive_dir_.Sub("update.qex");
    ASSERT_TRUE(archive_testing::WriteTestArchive(path, list));
    ASSERT_EQ(gArchiveReader.Open(path.c_str()), 0);
  }

  // Parses `rest` (the manifest line after the keyword) into a new T; the
  // text lives as long as the fixture, as the manifest outlives the list.
  template <typename T>
  std::unique_ptr<T> Parsed(const std::string& rest) {
    texts_.push_back(std::make_unique<char[]>(rest.size() + 1));
    memcpy(texts_.back().get(), rest.c_str(), rest.size() + 1);
    auto action = std::make_unique<T>();
    if (action->Parse(texts_.back().get()) != 0) return nullptr;
    return action;
  }

  std::map<std::string, std::string> Snapshot() const {
    return testing_util::SnapshotTree(tree_.path());
  }
  // "" when the tree is as it was at `before`.
  std::string ChangesSince(const std::map<std::string, std::string>& before) const {
    return testing_util::DiffSnapshots(before, Snapshot());
  }

  // The three phases as the update run calls them; returns the run's code.
  static int RunPhases(ActionList* list) {
    int rv = list->PrepareAll();
    if (rv != 0) return rv;
    rv = list->ExecuteAll();
    list->FinishAll(rv);
    return rv;
  }

  ScopedTempDir tree_;
  ScopedTempDir log_dir_;
  ScopedTempDir archive_dir_;

 private:
  std::string old_cwd_;
  std::vector<std::unique_ptr<char[]>> texts_;
};

TEST_F(PatchActionTest, ParseReadsEntryAndTargetAndChecksPaths) {
  auto a = Parsed<PatchAction>("\"patches/x.patch\" \"dir/file\"");
  ASSERT_TRUE(a);
  EXPECT_STREQ(a->entry_name, "patches/x.patch");
  EXPECT_STREQ(a->target_path, "dir/file");
  EXPECT_EQ(a->patch_index, -1);
  EXPECT_EQ(a->progress_cost, 1);
  EXPECT_STREQ(a->patch_path, "");

  auto b = Parsed<PatchIfAction>("\"test\" \"e\" \"t\"");
  ASSERT_TRUE(b);
  EXPECT_STREQ(b->test_path, "test");
  EXPECT_STREQ(b->entry_name, "e");
  EXPECT_STREQ(b->target_path, "t");

  for (const char* bad : {"", "\"e\"", "\"e\" ", "\"e\" \"../t\"", "\"e\" \"/abs\""}) {
    EXPECT_FALSE(Parsed<PatchAction>(bad)) << bad;
  }
  for (const char* bad : {"\"test\"", "\"test\" \"e\"", "\"../test\" \"e\" \"t\""}) {
    EXPECT_FALSE(Parsed<PatchIfAction>(bad)) << bad;
  }
}

TEST_F(PatchActionTest, AppliesKeepingModeAndLeavesNoBackupOrTemporaryFile) {
  const std::string old_data = testing_util::RandomBytes(20000, 7);
  std::string new_data = old_data;
  new_data.replace(100, 50, "patched bytes");
  new_data += "tail";
  WriteFile(tree_.Sub("bin/prog"), old_data, 0751);
  OpenArchive({{"prog.patch", MakePatchFor(old_data, new_data).Serialize()}});

  ActionList list;
  list.Append(Parsed<PatchAction>("\"prog.patch\" \"bin/prog\""));
  EXPECT_EQ(RunPhases(&list), 0);
  EXPECT_TRUE(ReadFile(tree_.Sub("bin/prog")) == new_data);
  EXPECT_EQ(ModeOf(tree_.Sub("bin/prog")), 0751u);
  EXPECT_FALSE(Exists(tree_.Sub("bin/prog.quil-backup")));
  EXPECT_FALSE(Exists(tree_.Sub("updating/0.patch")));
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{"PREPARE PATCH bin/prog", "EXECUTE PATCH bin/prog",
                                      "FINISH PATCH bin/prog"}));
  auto* action = static_cast<PatchAction*>(list.first());
  EXPECT_STREQ(action->patch_path, "");
  EXPECT_FALSE(action->source_data);
  EXPECT_EQ(action->header.dest_length, new_data.size());
}

TEST_F(PatchActionTest, TemporaryFilesAreNumberedInPrepareOrder) {
  const std::string patch_a = MakePatchFor("aaaa", "AAAA").Serialize();
  const std::string patch_b = MakePatchFor("bbbb", "BB").Serialize();
  OpenArchive({{"a.patch", patch_a}, {"b.patch", patch_b}});
  ActionList list;
  list.Append(Parsed<PatchIfAction>("\"missing\" \"a.patch\" \"x\""));
  list.Append(Parsed<PatchAction>("\"b.patch\" \"b\""));
  list.Append(Parsed<PatchIfAction>("\"b\" \"a.patch\" \"a\""));
  WriteFile(tree_.Sub("a"), "aaaa");
  WriteFile(tree_.Sub("b"), "bbbb");

  ASSERT_EQ(list.PrepareAll(), 0);
  EXPECT_EQ(ReadFile(tree_.Sub("updating/0.patch")), patch_b);
  EXPECT_EQ(ReadFile(tree_.Sub("updating/1.patch")), patch_a);
  EXPECT_FALSE(Exists(tree_.Sub("updating/2.patch")));
  EXPECT_EQ(nextPatchIndex, 2);
  auto* skipped = static_cast<PatchIfAction*>(list.first());
  EXPECT_EQ(skipped->patch_index, -1);
  EXPECT_EQ(skipped->test_path, nullptr);
  EXPECT_EQ(static_cast<PatchAction*>(skipped->next)->patch_index, 0);
  EXPECT_STREQ(static_cast<PatchAction*>(skipped->next->next)->patch_path,
               (tree_.path() + "/updating/1.patch").c_str());

  ASSERT_EQ(list.ExecuteAll(), 0);
  list.FinishAll(0);
  EXPECT_EQ(ReadFile(tree_.Sub("a")), "AAAA");
  EXPECT_EQ(ReadFile(tree_.Sub("b")), "BB");
  EXPECT_FALSE(Exists(tree_.Sub("x")));
  // The disabled patch-if wrote nothing in any phase.
  for (const std::string& line : LogLines()) EXPECT_EQ(line.find(" x"), std::string::npos) << line;
}

TEST_F(PatchActionTest, LaterFailureRestoresPatchedFile) {
  WriteFile(tree_.Sub("lib.so"), "old library", 0640);
  OpenArchive({{"lib.patch", MakePatchFor("old library", "new library!").Serialize()}});
  const auto before = Snapshot();
  ActionList list;
  list.Append(Parsed<PatchAction>("\"lib.patch\" \"lib.so\""));
  list.Append(Parsed<AddAction>("\"not-in-archive\""));
  EXPECT_EQ(RunPhases(&list), kReadError);
  const std::vector<std::string> log = LogLines();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.begin() + 5),
            (std::vector<std::string>{"EXECUTE PATCH lib.so", "EXECUTE ADD not-in-archive",
                                      "### execution failed"}));
  EXPECT_EQ(ReadFile(tree_.Sub("lib.so")), "old library");
  EXPECT_EQ(ModeOf(tree_.Sub("lib.so")), 0640u);
  EXPECT_FALSE(Exists(tree_.Sub("lib.so.quil-backup")));
  EXPECT_EQ(ChangesSince(before), "");
}

TEST_F(PatchActionTest, MissingEntryFailsPrepareAndDestructorRemovesTemporaryFiles) {
  WriteFile(tree_.Sub("f"), "data");
  OpenArchive({{"f.patch", MakePatchFor("data", "DATA").Serialize()}});
  const auto before = Snapshot();
  {
    ActionList list;
    list.Append(Parsed<PatchAction>("\"f.patch\" \"f\""));
    list.Append(Parsed<PatchAction>("\"absent.patch\" \"f\""));
    EXPECT_EQ(RunPhases(&list), kReadError);
    EXPECT_TRUE(Exists(tree_.Sub("updating/0.patch")));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"PREPARE PATCH f", "PREPARE PATCH f"}));
  }
  EXPECT_EQ(ChangesSince(before), "");
}

TEST_F(PatchActionTest, WrongSizeOrCrcLeavesFileInPlaceWithExactLogLines) {
  const std::string installed = "installed file";
  WriteFile(tree_.Sub("t"), installed);
  // Same size, other bytes: only the CRC can tell.
  const std::string expected_source = "installed fill";
  OpenArchive({{"size.patch", MakePatchFor("short", "x").Serialize()},
               {"crc.patch", MakePatchFor(expected_source, "x").Serialize()}});
  const uint32_t actual_crc = crc32_bzip2(installed.data(), installed.size());
  const uint32_t wanted_crc = crc32_bzip2(expected_source.data(), expected_source.size());
  char crc_line[200];
  snprintf(crc_line, sizeof(crc_line),
           "LoadSourceFile: destination file crc %d does not match expected crc %d",
           static_cast<int32_t>(actual_crc), static_cast<int32_t>(wanted_crc));

  struct Case {
    const char* entry;
    int code;
    std::string line;
  } cases[] = {
      {"size.patch", kUnexpectedType,
       "LoadSourceFile: destination file size 14 does not match expected size 5"},
      {"crc.patch", kCrcError, crc_line},
  };
  for (const Case& c : cases) {
    UpdateLog::Instance().Close();
    UpdateLog::Instance().Open(log_dir_.path().c_str(), "update.log", nullptr, false);
    ActionList list;
    list.Append(Parsed<PatchAction>(std::string("\"") + c.entry + "\" \"t\""));
    EXPECT_EQ(RunPhases(&list), c.code) << c.entry;
    EXPECT_EQ(ReadFile(tree_.Sub("t")), installed);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "PREPARE PATCH t", "EXECUTE PATCH t", c.line, "LoadSourceFile failed",
                              "### execution failed", "FINISH PATCH t",
                              "backup_restore: backup file doesn't exist: t.quil-backup"}))
        << c.entry;
  }
}

// Every kind of corrupt patch fails the run and leaves the installation as it
// was, byte for byte, once the list is gone.
TEST_F(PatchActionTest, CorruptPatchesLeaveInstallationUnchanged) {
  const std::string source = testing_util::RandomBytes(4096, 11);
  const std::string valid = MakePatchFor(source, source + "more").Serialize();
  auto with_triples = [&](std::vector<ControlTriple> triples, size_t diff, size_t extra) {
    return MakePatch(source, triples, std::string(diff, '\1'), std::string(extra, 'e')).Serialize();
  };
  PatchParts ragged = MakePatch(source, {{1, 0, 0}}, "d", "");
  ragged.control.resize(13);
  ragged.header.control_length = 13;
  PatchParts empty_control = MakePatch(source, {}, "d", "");
  std::string wrong_tag = valid;
  wrong_tag[7] = '2';

  struct Case {
    const char* what;
    std::string patch;
    int code;
  } cases[] = {
      {"short header", valid.substr(0, 31), kReadError},
      {"wrong tag", wrong_tag, kCorruptPatch},
      {"one byte longer", valid + "x", kCorruptPatch},
      {"one byte shorter", valid.substr(0, valid.size() - 1), kCorruptPatch},
      {"empty control block", empty_control.Serialize(), kCorruptPatch},
      {"partial triple", ragged.Serialize(), kCorruptPatch},
      {"add past the source", with_triples({{100, 0, 0}, {4000, 0, 0}}, 5000, 0), kCorruptPatch},
      {"add past the difference block", with_triples({{100, 0, 0}, {200, 0, 0}}, 250, 0),
       kCorruptPatch},
      {"copy past the extra block", with_triples({{100, 10, 0}, {0, 11, 0}}, 100, 20),
       kCorruptPatch},
      {"seek past the source's end", with_triples({{100, 0, 3996}, {0, 0, 1}}, 100, 0),
       kCorruptPatch},
      {"seek before the source's start", with_triples({{100, 0, -50}, {0, 0, -51}}, 100, 0),
       kCorruptPatch},
      {"wrong source size", MakePatchFor(source + "!", "x").Serialize(), kUnexpectedType},
      {"wrong source crc", MakePatchFor(std::string(4096, 'z'), "x").Serialize(), kCrcError},
  };
  WriteFile(tree_.Sub("dir/target"), source, 0755);
  WriteFile(tree_.Sub("other"), "untouched");
  const auto before = Snapshot();
  for (const Case& c : cases) {
    OpenArchive({{"p", c.patch}});
    {
      ActionList list;
      list.Append(Parsed<PatchAction>("\"p\" \"dir/target\""));
      EXPECT_EQ(RunPhases(&list), c.code) << c.what;
    }
    EXPECT_EQ(ChangesSince(before), "") << c.what;
    gArchiveReader.Close();
  }
}

TEST_F(PatchActionTest, PatchIfWithMissingTestFileDoesNothing) {
  WriteFile(tree_.Sub("t"), "abc");
  OpenArchive({{"p", MakePatchFor("abc", "xyz").Serialize()}});
  ActionList list;
  list.Append(Parsed<PatchIfAction>("\"no-such-file\" \"p\" \"t\""));
  EXPECT_EQ(RunPhases(&list), 0);
  EXPECT_EQ(ReadFile(tree_.Sub("t")), "abc");
  EXPECT_EQ(nextPatchIndex, 0);
  EXPECT_EQ(LogLines(), std::vector<std::string>{});
}

// Patches decoded ahead by an EntryPredecoder give the run of the usual
// extraction in Prepare: the same code, log, files and temporary file numbers,
// also when a patch entry is missing or is not a bzip2 stream.
TEST_F(PatchActionTest, EarlyDecodedPatchesGiveTheUsualRun) {
  const std::string big_old = testing_util::RandomBytes(900000, 3);
  const std::string big_new = big_old.substr(1000) + testing_util::RandomBytes(5000, 4);
  const std::string patch_a = MakePatchFor("aaaa", "AAAA").Serialize();
  std::vector<archive_testing::TestEntry> entries = {
      {"a.patch", patch_a},
      {"big.patch", MakePatchFor(big_old, big_new).Serialize(), 0600},
      {"added", "added file", 0640},
      {"raw.patch", patch_a, 0644, /*compress=*/false}};
  ASSERT_TRUE(archive_testing::WriteTestArchive(archive_dir_.Sub("update.qex"), entries));
  ASSERT_EQ(gArchiveReader.Open(archive_dir_.Sub("update.qex").c_str()), 0);

  struct Outcome {
    int rv;
    std::vector<std::string> log;
    std::map<std::string, std::string> tree;
    std::vector<std::string> prepared;  // temporary patch files after Prepare
  };
  auto run = [&](const std::vector<std::string>& lines, int threads) {
    WriteFile(tree_.Sub("a"), "aaaa");
    WriteFile(tree_.Sub("lib/big"), big_old, 0755);
    unlink(tree_.Sub("added").c_str());
    nextPatchIndex = 0;
    UpdateLog::Instance().Close();
    UpdateLog::Instance().Open(log_dir_.path().c_str(), "update.log", nullptr, false);
    Outcome out;
    ActionList list;
    for (const std::string& line : lines) {
      if (line.rfind("add ", 0) == 0) list.Append(Parsed<AddAction>(line.substr(4)));
      if (line.rfind("patch ", 0) == 0) list.Append(Parsed<PatchAction>(line.substr(6)));
      if (line.rfind("patch-if ", 0) == 0) list.Append(Parsed<PatchIfAction>(line.substr(9)));
    }
    bool prepared;
    {
      EntryPredecoder predecoder(&list);
      predecoder.Start(threads);
      out.rv = list.PrepareAll();
      for (int i = 0; i < nextPatchIndex; ++i) {
        out.prepared.push_back(ReadFile(tree_.Sub("updating/" + std::to_string(i) + ".patch")));
      }
      prepared = out.rv == 0;
      if (prepared) out.rv = list.ExecuteAll();
    }
    if (prepared) list.FinishAll(out.rv);
    out.log = LogLines();
    out.tree = Snapshot();
    return out;
  };

  const std::vector<std::vector<std::string>> manifests = {
      {"patch-if \"missing\" \"big.patch\" \"lib/big\"", "patch \"a.patch\" \"a\"", "add \"added\"",
       "patch \"big.patch\" \"lib/big\""},
      {"patch \"a.patch\" \"a\"", "patch \"absent.patch\" \"lib/big\"", "add \"added\""},
      {"patch \"big.patch\" \"lib/big\"", "patch \"raw.patch\" \"a\""},
  };
  const int codes[] = {0, kReadError, 39};
  for (size_t m = 0; m < manifests.size(); ++m) {
    Outcome usual = run(manifests[m], 0);
    EXPECT_EQ(usual.rv, codes[m]) << m;
    for (int threads : {1, 2}) {
      Outcome early = run(manifests[m], threads);
      EXPECT_EQ(early.rv, usual.rv) << m << " " << threads;
      EXPECT_EQ(early.log, usual.log) << m << " " << threads;
      EXPECT_TRUE(early.prepared == usual.prepared) << m << " " << threads;
      EXPECT_EQ(testing_util::DiffSnapshots(usual.tree, early.tree), "") << m << " " << threads;
      if (m == 0) {
        EXPECT_TRUE(ReadFile(tree_.Sub("lib/big")) == big_new);
      }
    }
  }
}

}  // namespace

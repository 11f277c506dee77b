#include "fileops/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_util.h"

namespace {

// A journal as the records' bytes: one type byte, NUL-ended fields, a line feed.
std::string Bytes(const std::vector<JournalRecord>& records) {
  std::string out;
  for (const JournalRecord& r : records) {
    out.push_back(r.type);
    for (const std::string& f : r.fields) out += f + '\0';
    out.push_back('\n');
  }
  return out;
}

// What read_journal and validate_journal make of `text`: "" when accepted,
// else the reason.
std::string Check(const std::string& text, size_t* count = nullptr) {
  testing_util::ScopedTempDir dir;
  testing_util::WriteFile(dir.Sub("j"), text);
  int fd = open(dir.Sub("j").c_str(), O_RDONLY);
  std::vector<JournalRecord> records;
  std::string reason;
  bool ok = read_journal(fd, &records, &reason) && validate_journal(records, &reason);
  close(fd);
  if (count) *count = records.size();
  return ok ? "" : reason;
}

const JournalRecord kBegin{kJournalBegin, {"0123abcd"}};

TEST(JournalTest, RecordsAreClaimsCheckedBeforeUse) {
  const struct {
    std::vector<JournalRecord> records;
    bool accepted;
  } cases[] = {
      // What runs write.
      {{kBegin,
        {kJournalPlanned, {"bin/app", "bin/app.quil-backup", "1 2"}},
        {kJournalBackup, {"bin/app", "bin/app.quil-backup-2", "1 2"}},
        {kJournalMove, {"bin/app.quil-backup-2", "bin/app.quil-backup-3"}},
        {kJournalCreate, {"new/deep/f", "3"}},
        {kJournalRmdir, {"old"}},
        {kJournalCommit, {}},
        {kJournalFinished, {}}},
       true},
      {{kBegin, {kJournalCreate, {"f", "0"}}, {kJournalRolledBack, {}}}, true},
      // Paths that lead out or are no paths of the installation.
      {{kBegin, {kJournalBackup, {"../x", "../x.quil-backup", "1 2"}}}, false},
      {{kBegin, {kJournalBackup, {"/etc/passwd", "/etc/passwd.quil-backup", "1 2"}}}, false},
      {{kBegin, {kJournalCreate, {"a//b", "0"}}}, false},
      {{kBegin, {kJournalCreate, {"a/./b", "0"}}}, false},
      {{kBegin, {kJournalRmdir, {""}}}, false},
      // Backup names the run never gives that path.
      {{kBegin, {kJournalBackup, {"bin/app", "evil", "1 2"}}}, false},
      {{kBegin, {kJournalBackup, {"bin/app", "bin/app.quil-backup-0", "1 2"}}}, false},
      {{kBegin, {kJournalBackup, {"bin/app", "bin/app.quil-backup-1000", "1 2"}}}, false},
      {{kBegin, {kJournalBackup, {"bin/app", "bin/app.quil-backup", "me"}}}, false},
      {{kBegin, {kJournalMove, {"a.quil-backup", "b.quil-backup"}}}, false},
      {{kBegin, {kJournalMove, {"a.quil-backup", "a.quil-backup-1"}}}, false},
      {{kBegin, {kJournalCreate, {"new/f", "2"}}}, false},
      // Orders no run writes.
      {{{kJournalCreate, {"f", "0"}}}, false},
      {{kBegin, kBegin}, false},
      {{kBegin, {kJournalCommit, {}}, {kJournalCreate, {"f", "0"}}}, false},
      {{kBegin, {kJournalFinished, {}}}, false},
      {{kBegin, {kJournalRolledBack, {}}, {kJournalCreate, {"f", "0"}}}, false},
  };
  for (const auto& c : cases) {
    const std::string text = Bytes(c.records);
    SCOPED_TRACE(::testing::PrintToString(text));
    EXPECT_EQ(Check(text).empty(), c.accepted) << Check(text);
  }
}

// A power loss leaves the unflushed end cut, or as zeros of its length.
TEST(JournalTest, OnlyALastRecordMayBeCutShort) {
  const std::string whole = Bytes({kBegin, {kJournalCreate, {"a/b", "1"}}, {kJournalCommit, {}}});
  size_t count = 0;
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    for (size_t zeros : {size_t{0}, whole.size() - cut}) {
      EXPECT_EQ(Check(whole.substr(0, cut) + std::string(zeros, '\0'), &count), "") << cut;
      EXPECT_EQ(count, cut < 11 ? 0u : cut < 19 ? 1u : cut < 21 ? 2u : 3u) << cut;
    }
  }
  EXPECT_EQ(Check(whole + "Zjunk\n"), "a record of unknown type");
  EXPECT_EQ(Check(whole.substr(0, 11) + std::string(3, '\0') + whole.substr(11)),
            "a record of unknown type");
  std::string many = Bytes({kBegin, {kJournalCreate, {"f", "0"}}});
  EXPECT_EQ(Check(many.insert(many.size() - 1, "x")), "a record with too many fields");
}

}  // namespace

// Shared fixture of the actions tests: a temporary tree that is the working
// directory (the actions use relative paths), a log in a separate directory,
// and test archives built from short descriptions.
#ifndef UPDATER_ACTIONS_ACTIONS_TEST_UTIL_H_
#define UPDATER_ACTIONS_ACTIONS_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "actions/action.h"
#include "archive/archive_reader.h"
#include "archive/archive_test_util.h"
#include "base/progress.h"
#include "base/run_settings.h"
#include "base/update_log.h"
#include "testing/test_util.h"

namespace actions_test {

struct Entry {
  std::string content;
  mode_t mode = 0644;
};

class WorkDirTest : public ::testing::Test {
 protected:
  WorkDirTest() {
    char cwd[4096];
    old_cwd_ = getcwd(cwd, sizeof(cwd)) ? cwd : "/";
    EXPECT_EQ(0, chdir(tree_.path().c_str()));
    UpdateLog::Instance().Close();
    UpdateLog::Instance().Open(log_dir_.path().c_str(), "update.log", nullptr, false);
    isOsUpdate = false;
    runSucceeded = false;
    SetProgressUI(0);
  }
  ~WorkDirTest() override {
    gArchiveReader.Close();
    UpdateLog::Instance().Close();
    EXPECT_EQ(0, chdir(old_cwd_.c_str()));
  }

  // Every line logged since the fixture was made (or since ClearLog).
  std::vector<std::string> LogLines() {
    UpdateLog::Instance().Flush();
    std::string all = testing_util::ReadFile(log_dir_.Sub("update.log"));
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(all.substr(start, nl - start));
    }
    return lines;
  }
  void ClearLog() {
    UpdateLog::Instance().Close();
    UpdateLog::Instance().Open(log_dir_.path().c_str(), "update.log", nullptr, false);
  }

  // A writable copy of `s` that lives as long as the fixture, as the
  // manifest text lives as long as the list.
  char* Text(const std::string& s) {
    texts_.push_back(std::make_unique<char[]>(s.size() + 1));
    memcpy(texts_.back().get(), s.c_str(), s.size() + 1);
    return texts_.back().get();
  }

  // A new action of class T parsed from `rest`; null when Parse fails.
  template <typename T>
  std::unique_ptr<T> Parsed(const std::string& rest) {
    auto action = std::make_unique<T>();
    if (action->Parse(Text(rest)) != 0) return nullptr;
    return action;
  }

  // Builds an archive of `entries` (entry name -> content) and opens it with
  // the process-wide reader. Raw entries are not bzip2 streams, so their
  // extraction fails after the destination was created.
  void OpenArchive(const std::map<std::string, Entry>& entries, bool raw = false) {
    std::vector<archive_testing::TestEntry> list;
    for (const auto& [name, entry] : entries)
      list.push_back({name, entry.content, entry.mode, !raw});
    std::string archive = src_.Sub("update.qex");
    ASSERT_TRUE(archive_testing::WriteTestArchive(archive, list));
    ASSERT_EQ(0, gArchiveReader.Open(archive.c_str()));
  }

  std::string Path(const std::string& rel) const { return tree_.Sub(rel); }
  std::map<std::string, std::string> Snapshot() const {
    return testing_util::SnapshotTree(tree_.path());
  }

  testing_util::ScopedTempDir tree_;
  testing_util::ScopedTempDir log_dir_;
  testing_util::ScopedTempDir src_;

 private:
  std::string old_cwd_;
  std::vector<std::unique_ptr<char[]>> texts_;
};

}  // namespace actions_test

#endif  // UPDATER_ACTIONS_ACTIONS_TEST_UTIL_H_

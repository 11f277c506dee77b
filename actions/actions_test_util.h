// Shared fixture of the actions tests: a temporary installation that is the
// working directory and applyToDir (the actions use relative paths), a log in
// a separate directory, and update archives built from short descriptions.
#ifndef UPDATER_ACTIONS_ACTIONS_TEST_UTIL_H_
#define UPDATER_ACTIONS_ACTIONS_TEST_UTIL_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "actions/add_action.h"
#include "actions/manifest_parser.h"
#include "actions/patch_action.h"
#include "actions/remove_action.h"
#include "actions/update_context.h"
#include "archive/archive_reader.h"
#include "archive/archive_test_util.h"
#include "base/error_codes.h"
#include "base/progress.h"
#include "base/update_log.h"
#include "fileops/fileops.h"
#include "testing/test_util.h"

namespace actions_test {

using Tree = std::map<std::string, std::string>;
using testing_util::DiffSnapshots;
using testing_util::ReadFile;
using testing_util::WriteFile;

class WorkDirTest : public ::testing::Test {
 protected:
  WorkDirTest() {
    ResetTree();
    context_.archive = &reader_;
    context_.progress = &progress_;
    umask(022);
  }
  ~WorkDirTest() override {
    CloseWorkDir();
    reader_.Close();
    UpdateLog::Instance().Close();
  }

  // An empty installation that is the working directory, an empty log, patch
  // numbering from 0.
  void ResetTree() {
    CloseWorkDir();
    EXPECT_EQ(0, chdir("/"));
    EXPECT_EQ(0, ensure_remove_recursive(AT_FDCWD, tree_.path().c_str()));
    EXPECT_EQ(0, mkdir(tree_.path().c_str(), 0755));
    EXPECT_EQ(0, chdir(tree_.path().c_str()));
    ClearLog();
    context_.next_patch_index = 0;
  }
  // The run's work directory "updating" in the tree, made when missing and
  // open (for ActionList::SetWorkDir) until the tree is reset.
  int WorkDir() {
    if (work_dir_ < 0) {
      mkdir("updating", 0755);
      work_dir_ = open("updating", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    return work_dir_;
  }
  void CloseWorkDir() {
    if (work_dir_ >= 0) close(work_dir_);
    work_dir_ = -1;
  }
  void ClearLog() {
    UpdateLog::Instance().Close();
    UpdateLog::Instance().Open(log_dir_.path().c_str(), "update.log", nullptr, false);
  }
  // Everything logged since the last ClearLog.
  std::string Log() {
    UpdateLog::Instance().Flush();
    return ReadFile(log_dir_.Sub("update.log"));
  }

  // Parses `manifest` into `list`. The text lives as long as the fixture, as
  // the manifest text outlives the list.
  int Parse(const std::string& manifest, ActionList* list) {
    list->SetContext(&context_);
    texts_.push_back(manifest);
    return ParseManifest(&texts_.back()[0], list);
  }
  // Builds an archive of `entries` and opens it with the context's reader.
  void OpenArchive(const std::vector<archive_testing::TestEntry>& entries) {
    reader_.Close();
    ASSERT_TRUE(archive_testing::WriteTestArchive(src_.Sub("update.qex"), entries));
    ASSERT_EQ(0, reader_.Open(src_.Sub("update.qex").c_str()));
  }
  std::string Path(const std::string& rel) const { return tree_.Sub(rel); }
  Tree Snapshot() const { return testing_util::SnapshotTree(tree_.path()); }

  testing_util::ScopedTempDir tree_, log_dir_, src_;
  ArchiveReader reader_;
  Progress progress_;
  UpdateContext context_;

 private:
  std::deque<std::string> texts_;  // stay in place as the list grows
  int work_dir_ = -1;
};

// The three phases as the update run calls them; returns the run's code.
inline int RunPhases(ActionList* list) {
  int rv = list->PrepareAll();
  if (rv == 0) list->FinishAll(rv = list->ExecuteAll());
  return rv;
}

// "keyword arguments" of each action, one line each.
inline std::string Describe(const ActionList& list) {
  std::string out;
  for (Action* a = list.first(); a; a = a->next) {
    if (auto* r = dynamic_cast<RemoveAction*>(a)) out += std::string("remove ") + r->path;
    if (auto* d = dynamic_cast<RmdirAction*>(a)) out += std::string("rmdir ") + d->dir;
    if (auto* c = dynamic_cast<ConditionalAddAction*>(a))
      out += std::string("if ") + c->test_path + " ";
    if (auto* p = dynamic_cast<PatchIfAction*>(a)) out += std::string("if ") + p->test_path + " ";
    if (auto* add = dynamic_cast<AddAction*>(a)) out += std::string("add ") + add->path;
    if (auto* l = dynamic_cast<AddLinkAction*>(a)) out += std::string(" -> ") + l->target;
    if (auto* d = dynamic_cast<AddDirAction*>(a))
      out += "adddir " + std::string(d->dir) + " " + std::to_string(d->mode);
    if (auto* p = dynamic_cast<PatchAction*>(a))
      out += std::string("patch ") + p->entry_name + " " + p->target_path;
    out += "\n";
  }
  return out;
}

}  // namespace actions_test

#endif  // UPDATER_ACTIONS_ACTIONS_TEST_UTIL_H_

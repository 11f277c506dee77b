// Durability order, read from the system calls of real runs (strace -f): the
// status file is never written in place, and its final text is written only
// after a syncfs that follows every change to the installation; the commit
// record follows a syncfs of the execute phase's changes and is flushed
// before the first backup is deleted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "tests/updater_fixture.h"

namespace {

constexpr char kStrace[] = "/usr/bin/strace";

struct Call {
  std::string name, args;
  long result;
  std::string path;  // of the path argument, or of the file descriptor
};

// The first quoted string of `args`, escapes left as they are.
std::string FirstQuoted(const std::string& args) {
  size_t open = args.find('"'), close = open;
  if (open == std::string::npos) return "";
  while ((close = args.find('"', close + 1)) != std::string::npos && args[close - 1] == '\\') {
  }
  return close == std::string::npos ? "" : args.substr(open + 1, close - open - 1);
}

// The completed calls in order; unfinished calls are completed by their pid.
std::vector<Call> ReadTrace(const std::string& text) {
  std::map<std::string, std::string> pending;  // pid -> start of an unfinished call
  std::map<long, std::string> fds;
  std::vector<Call> calls;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    size_t space = l.find(' ');
    if (space == std::string::npos) continue;
    std::string pid = l.substr(0, space), rest = l.substr(l.find_first_not_of(' ', space));
    size_t cut = rest.find(" <unfinished ...>");
    if (cut != std::string::npos) {
      pending[pid] = rest.substr(0, cut);
      continue;
    }
    if (rest.rfind("<... ", 0) == 0) rest = pending[pid] + rest.substr(rest.find('>') + 1);
    // strace pads the result to a column: "close(5)        = 0".
    size_t paren = rest.find('('), eq = rest.rfind(" = ");
    size_t close = eq == std::string::npos ? eq : rest.rfind(')', eq);
    if (paren == std::string::npos || close == std::string::npos || close < paren) continue;
    const char* result = rest.c_str() + eq + 3;
    if (!isdigit(static_cast<unsigned char>(*result)) && *result != '-') continue;
    Call k{rest.substr(0, paren), rest.substr(paren + 1, close - paren - 1), atol(result), ""};
    k.path = isdigit(static_cast<unsigned char>(k.args[0])) ? fds[atol(k.args.c_str())]
                                                            : FirstQuoted(k.args);
    if (k.name == "openat" && k.result >= 0) fds[k.result] = k.path;
    calls.push_back(k);
  }
  return calls;
}

bool Mutates(const Call& c, const std::string& install) {
  bool changes = c.name.rfind("rename", 0) == 0 || c.name.rfind("unlink", 0) == 0 ||
                 c.name.rfind("mkdir", 0) == 0 || c.name == "rmdir" || c.name == "write";
  return changes && (c.path.rfind(install, 0) == 0 || c.path[0] != '/');
}

// Index of the first call at or after `from` (before `to`) whose name holds
// `name`, on `path` when one is given, with `args` in its arguments; or -1.
long Find(const std::vector<Call>& calls, long from, long to, const std::string& name,
          const std::string& path = "", const std::string& args = "") {
  for (long i = from; i >= 0 && i < to; ++i) {
    const Call& c = calls[i];
    bool on = path.empty() || c.path == path;
    if (c.name.find(name) != std::string::npos && on && c.args.find(args) != std::string::npos)
      return i;
  }
  return -1;
}

// A syncfs after the last change to the installation before `at`.
bool SyncedBefore(const std::vector<Call>& calls, long at, const std::string& install) {
  long last = -1;
  for (long i = 0; i < at; ++i) last = Mutates(calls[i], install) ? i : last;
  return Find(calls, last + 1, at, "syncfs") >= 0;
}

TEST(DurabilityTest, StatusAndCommitFollowTheirFlushes) {
  if (access(kStrace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  testing_util::ScopedTempDir root;
  updater_fixture::MixedUpdate update(root.Sub("app"), root.Sub("upd"));
  ASSERT_TRUE(update.WriteArchive());
  ASSERT_TRUE(update.MakeInstallation());
  const struct {
    std::vector<std::string> args;
    bool fresh;
    std::string status;  // as strace shows it
  } runs[] = {
      {update.Args(), true, "succeeded\\n"},
      {update.Args(), false, "failed: 42\\n"},  // patched already: the rollback runs
      {update.Args(true), true, "applied\\n"},
      {update.ReplaceArgs(), false, "succeeded\\n"},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(run.status);
    ASSERT_TRUE(!run.fresh || update.MakeInstallation());
    const std::string trace = root.Sub("trace.txt");
    updater_fixture::RunUpdater(run.args, {}, {kStrace, "-f", "-qq", "-s", "16", "-o", trace});
    const auto calls = ReadTrace(testing_util::ReadFile(trace));
    EXPECT_LT(
        Find(calls, 0, calls.size(), "openat", update.update_dir() + "/update.status", "O_WR"), 0)
        << "the status is written in place";
    long status = Find(calls, 0, calls.size(), "write", "", '"' + run.status + '"');
    ASSERT_GE(status, 0) << testing_util::ReadFile(trace);
    EXPECT_TRUE(SyncedBefore(calls, status, update.install_dir()));
    const std::string tmp = calls[status].path;
    EXPECT_GE(Find(calls, status, Find(calls, status, calls.size(), "rename", tmp), "sync", tmp), 0)
        << "the status is renamed before it is flushed";
    long commit = Find(calls, 0, calls.size(), "write", "", ", \"K\\n\"");
    if (run.args.size() == 2 && run.status[0] == 's') {
      ASSERT_GE(commit, 0);
      EXPECT_TRUE(SyncedBefore(calls, commit, update.install_dir()));
      long deleted = Find(calls, commit, calls.size(), "unlink");
      EXPECT_GE(Find(calls, commit, deleted, "fdatasync", calls[commit].path), 0)
          << "a backup is deleted before the commit is on disk";
    }
  }
}

}  // namespace

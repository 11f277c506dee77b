// Test helpers shared by the fileops tests: capturing the update log and
// running a helper as the ordinary user "nobody".
#ifndef UPDATER_FILEOPS_FILEOPS_TEST_UTIL_H_
#define UPDATER_FILEOPS_FILEOPS_TEST_UTIL_H_

#include <sys/stat.h>

#include <functional>
#include <string>

#include "base/update_log.h"
#include "testing/test_util.h"

namespace fileops_test {

// Opens the process-wide log in a fresh directory; Text() closes it and
// returns everything that was written.
class LogCapture {
 public:
  LogCapture() { UpdateLog::Instance().Open(dir_.path().c_str(), "update.log", nullptr, false); }
  ~LogCapture() { UpdateLog::Instance().Close(); }
  std::string Text() {
    UpdateLog::Instance().Close();
    return testing_util::ReadFile(dir_.Sub("update.log"));
  }

 private:
  testing_util::ScopedTempDir dir_;
};

// A path below `root` of exactly `len` bytes (at most about 1200). Its
// directories (names of 199 bytes) are created and stay well below `len`; the
// last component, at least 39 bytes long, is not created.
inline std::string PathOfLength(const std::string& root, size_t len) {
  std::string path = root;
  mkdir(path.c_str(), 0755);
  while (path.size() + 240 < len) {
    path += "/" + std::string(199, 'd');
    mkdir(path.c_str(), 0755);
  }
  return path + "/" + std::string(len - path.size() - 1, 'f');
}

constexpr int kNobodyUnavailable = 1000;

// Gives `root` and everything below it to "nobody" (links themselves, not
// their targets).
inline bool ChownTreeToNobody(const std::string& root) {
  return testing_util::RunCommand("chown -hR nobody '" + root + "'") == 0;
}

// Runs `fn` as "nobody" and returns its result (which may be -1), or
// kNobodyUnavailable. Log lines written by the child are flushed before it
// ends.
inline int RunHelperAsNobody(const std::function<int()>& fn) {
  // Pending lines would otherwise be written twice, once by each process.
  UpdateLog::Instance().Flush();
  int rc = testing_util::RunAsNobody([&fn] {
    int rv = fn();
    UpdateLog::Instance().Flush();
    return rv == -1 ? 200 : rv;
  });
  if (rc < 0) return kNobodyUnavailable;
  return rc == 200 ? -1 : rc;
}

}  // namespace fileops_test

#endif  // UPDATER_FILEOPS_FILEOPS_TEST_UTIL_H_

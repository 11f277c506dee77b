// Helpers shared by the unit and end-to-end tests: temporary directories, file
// contents, tree snapshots and running a check as an ordinary user.
#ifndef UPDATER_TESTING_TEST_UTIL_H_
#define UPDATER_TESTING_TEST_UTIL_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>

namespace testing_util {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents at scope
// end, also when an assertion failed.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Makes `dir` the working directory until scope end, then goes back. For code
// that works below the working directory.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;
  bool ok() const { return ok_; }

 private:
  int previous_;
  bool ok_;
};

// Writes `data` to `path`, creating parent directories; sets `mode` exactly.
void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644);
std::string ReadFile(const std::string& path);     // "" when it cannot be read
bool Exists(const std::string& path);              // lstat succeeds
mode_t ModeOf(const std::string& path);            // lstat mode bits (07777), 0 if missing
std::string RandomBytes(size_t n, unsigned seed);  // deterministic

// Every entry below a directory: relative path -> "type mode contents-or-link-
// target". Two snapshots are equal exactly when the trees hold the same names,
// types, permission bits, file bytes and link targets.
std::map<std::string, std::string> SnapshotTree(const std::string& root);
// Human-readable differences between two snapshots ("" when equal).
std::string DiffSnapshots(const std::map<std::string, std::string>& before,
                          const std::map<std::string, std::string>& after);

// Runs `fn` in a forked child switched to the user "nobody" and returns fn's
// result, or -1 when the switch was not possible. For permission checks,
// which root bypasses.
int RunAsNobody(const std::function<int()>& fn);
int RunCommand(const std::string& cmd);  // through /bin/sh; its exit status

}  // namespace testing_util

#endif  // UPDATER_TESTING_TEST_UTIL_H_

#include "testing/test_util.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace testing_util {

ScopedTempDir::ScopedTempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/updater-test-XXXXXX";
  if (mkdtemp(templ.data())) path_ = templ;
  chmod(path_.c_str(), 0755);  // readable by "nobody" for the permission tests
}

ScopedTempDir::~ScopedTempDir() {
  // Tests take permissions away; the removal needs them back.
  if (!path_.empty())
    RunCommand("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'");
}

ScopedChdir::ScopedChdir(const std::string& dir)
    : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      ok_(previous_ >= 0 && chdir(dir.c_str()) == 0) {}

ScopedChdir::~ScopedChdir() {
  if (previous_ < 0) return;
  if (fchdir(previous_) != 0) abort();  // the next test would run elsewhere
  close(previous_);
}

void WriteFile(const std::string& path, const std::string& data, mode_t mode) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
    mkdir(path.substr(0, pos).c_str(), 0755);
  std::ofstream(path, std::ios::binary) << data;
  chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec),
       end;
       !ec && it != end; it.increment(ec)) {
    const std::string full = it->path().string(), rel = it->path().lexically_relative(root);
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", st.st_mode & 07777);
    const char* type = S_ISDIR(st.st_mode) ? "dir " : S_ISREG(st.st_mode) ? "file " : "other ";
    out[rel] = S_ISLNK(st.st_mode)
                   ? "link " + fs::read_symlink(full, ec).string()
                   : type + std::string(mode) + (S_ISREG(st.st_mode) ? " " + ReadFile(full) : "");
  }
  return out;
}

std::string DiffSnapshots(const std::map<std::string, std::string>& before,
                          const std::map<std::string, std::string>& after) {
  std::string diff;
  auto brief = [](const std::string& v) { return v.size() > 40 ? v.substr(0, 40) + "..." : v; };
  for (const auto& [path, desc] : before) {
    auto it = after.find(path);
    if (it == after.end()) {
      diff += "missing: " + path + "\n";
    } else if (it->second != desc) {
      diff += "changed: " + path + " (" + brief(desc) + " -> " + brief(it->second) + ")\n";
    }
  }
  for (const auto& [path, desc] : after)
    if (!before.count(path)) diff += "added: " + path + " (" + brief(desc) + ")\n";
  return diff;
}

int RunAsNobody(const std::function<int()>& fn) {
  struct passwd* pw = getpwnam("nobody");
  pid_t pid = pw ? fork() : -1;
  if (pid == 0) {
    if (setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) _exit(255);
    _exit(fn());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

int RunCommand(const std::string& cmd) {
  int status = system(cmd.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_util

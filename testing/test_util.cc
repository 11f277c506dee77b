#include "testing/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace testing_util {

namespace {

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        RemoveTree(path + "/" + e->d_name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void MakeParents(const std::string& path) {
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    mkdir(path.substr(0, pos).c_str(), 0755);
  }
}

void Snapshot(const std::string& root, const std::string& rel,
              std::map<std::string, std::string>* out) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    names.push_back(e->d_name);
  }
  closedir(d);
  for (const std::string& name : names) {
    std::string r = rel.empty() ? name : rel + "/" + name;
    std::string full = root + "/" + r;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    char mode[16];
    snprintf(mode, sizeof(mode), "%04o", st.st_mode & 07777);
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(full.c_str(), target, sizeof(target));
      (*out)[r] = std::string("link ") + std::string(target, n > 0 ? n : 0);
    } else if (S_ISDIR(st.st_mode)) {
      (*out)[r] = std::string("dir ") + mode;
      Snapshot(root, r, out);
    } else if (S_ISREG(st.st_mode)) {
      (*out)[r] = std::string("file ") + mode + " " + ReadFile(full);
    } else {
      (*out)[r] = std::string("other ") + mode;
    }
  }
}

}  // namespace

ScopedTempDir::ScopedTempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/updater-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
  // Readable by "nobody" for the permission tests.
  chmod(path_.c_str(), 0755);
}

ScopedTempDir::~ScopedTempDir() {
  if (!path_.empty()) RemoveTree(path_);
}

std::string ScopedTempDir::Sub(const std::string& rel) const { return path_ + "/" + rel; }

void WriteFile(const std::string& path, const std::string& data, mode_t mode) {
  MakeParents(path);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += n;
  }
  close(fd);
  chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return out;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) out.append(buf, n);
  close(fd);
  return out;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(gen() & 0xff);
  return s;
}

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  std::map<std::string, std::string> out;
  Snapshot(root, "", &out);
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
  for (const auto& [path, desc] : after) {
    if (!before.count(path)) diff += "added: " + path + " (" + brief(desc) + ")\n";
  }
  return diff;
}

int RunAsNobody(const std::function<int()>& fn) {
  struct passwd* pw = getpwnam("nobody");
  if (!pw) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) _exit(255);
    _exit(fn());
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  int rc = WEXITSTATUS(status);
  return rc == 255 ? -1 : rc;
}

bool IsRoot() { return geteuid() == 0; }

int RunCommand(const std::string& cmd) {
  int status = system(cmd.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace testing_util

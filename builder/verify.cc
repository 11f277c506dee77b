#include "builder/verify.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "builder/files.h"

namespace {

std::string OctalMode(mode_t mode) {
  char buf[16];
  snprintf(buf, sizeof(buf), "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

bool CopyFileBytes(const std::string& from, const std::string& to, mode_t mode,
                   std::string* error) {
  ScopedFile in, out;
  if (!OpenForCopy(from, to, &in, &out, error)) return false;
  std::unique_ptr<char[]> buf(new char[kIoChunk]);
  size_t n;
  while ((n = fread(buf.get(), 1, kIoChunk, in.get())) > 0) {
    if (fwrite(buf.get(), 1, n, out.get()) != n) break;
  }
  if (ferror(in.get()) || ferror(out.get()) || out.close() != 0 || chmod(to.c_str(), mode) != 0) {
    *error = "cannot copy " + from + " to " + to + ": " + Errno();
    return false;
  }
  return true;
}

// Not fileops' ensure_copy_recursive: that makes read-only files of the old
// tree owner-writable, creates directories with the mode less the umask
// (which --verify would report as mode differences, and which leaves a
// read-only directory unfillable), and takes paths of 1024 bytes at most.
// Here each directory gets its mode after its contents.
bool CopyTree(const std::string& from, const std::string& to, mode_t dir_mode, std::string* error) {
  if (mkdir(to.c_str(), 0700) != 0) {
    *error = "cannot create " + to + ": " + Errno();
    return false;
  }
  std::vector<std::string> names;
  if (!ListDirectory(from, &names)) {
    *error = "cannot read the directory " + from + ": " + Errno();
    return false;
  }
  for (const std::string& name : names) {
    std::string src = from + "/" + name, dst = to + "/" + name;
    struct stat st;
    if (lstat(src.c_str(), &st) != 0) {
      *error = "cannot examine " + src + ": " + Errno();
      return false;
    }
    bool ok = true;
    if (S_ISDIR(st.st_mode)) {
      ok = CopyTree(src, dst, st.st_mode & 07777, error);
    } else if (S_ISREG(st.st_mode)) {
      ok = CopyFileBytes(src, dst, st.st_mode & 07777, error);
    } else if (S_ISLNK(st.st_mode)) {
      std::string target = ReadLinkText(src);
      if (target.empty() || symlink(target.c_str(), dst.c_str()) != 0) {
        *error = "cannot copy the link " + src + ": " + Errno();
        ok = false;
      }
    } else {
      *error = "cannot copy " + src + ": neither a file, a directory nor a link";
      ok = false;
    }
    if (!ok) return false;
  }
  if (chmod(to.c_str(), dir_mode) != 0) {
    *error = "cannot set the mode of " + to + ": " + Errno();
    return false;
  }
  return true;
}

// Runs the updater on the scratch copy, as an ordinary update without a
// window. umask 0, so that files get exactly the modes the archive stores.
// 0 when it exited with 0; otherwise the exit status (or -1).
int RunUpdater(const std::string& updater, const std::string& update_dir,
               const std::string& install_dir) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    umask(0);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QUIL_OS_UPDATE", "QUIL_PROCESS_UPDATES",
                             "QUIL_NO_REPLACE_FALLBACK", "QUIL_LAUNCHED_CHILD", "NO_EM_RESTART"}) {
      unsetenv(name);
    }
    // A build running beside this one (a release builds several at once)
    // may fork while this copy of the updater is still open for writing;
    // its child holds that descriptor until its own exec.
    for (int tries = 0; tries < 100; tries++) {
      execl(updater.c_str(), updater.c_str(), update_dir.c_str(), install_dir.c_str(),
            static_cast<char*>(nullptr));
      if (errno != ETXTBSY) break;
      usleep(10000);
    }
    fprintf(stderr, "make-update: cannot run %s: %s\n", updater.c_str(), strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The last `max_lines` lines of `text`.
std::string LastLines(const std::string& text, size_t max_lines) {
  size_t pos = text.size();
  if (pos > 0 && text[pos - 1] == '\n') pos--;
  for (size_t lines = 0; pos > 0; pos--) {
    if (text[pos - 1] == '\n' && ++lines == max_lines) break;
  }
  return text.substr(pos);
}

}  // namespace

void CompareTrees(const TreeListing& expected, const std::string& actual_root, bool copy_links,
                  std::vector<std::string>* differences) {
  // Walk the result leniently: every object is examined, nothing refused.
  std::map<std::string, std::pair<mode_t, std::string>> actual;  // full mode, full path
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    std::string rel = pending.back();
    pending.pop_back();
    std::vector<std::string> names;
    if (!ListDirectory(JoinPath(actual_root, rel), &names)) {
      differences->push_back("cannot read the directory " + JoinPath(actual_root, rel));
      continue;
    }
    for (const std::string& name : names) {
      std::string path = JoinPath(rel, name), full = actual_root + "/" + path;
      struct stat st;
      if (lstat(full.c_str(), &st) != 0) continue;
      if (S_ISLNK(st.st_mode) && copy_links && stat(full.c_str(), &st) != 0) continue;
      actual[path] = {st.st_mode, full};
      if (S_ISDIR(st.st_mode)) pending.push_back(path);
    }
  }
  for (const auto& [path, entry] : expected) {
    auto it = actual.find(path);
    if (it == actual.end()) {
      differences->push_back("missing: " + path);
      continue;
    }
    mode_t mode = it->second.first;
    bool is_dir = entry.kind == TreeEntry::kDirectory;
    if (entry.kind == TreeEntry::kLink) {
      std::string text = ReadLinkText(it->second.second);
      if (!S_ISLNK(mode)) {
        differences->push_back("not a symbolic link: " + path);
      } else if (text != entry.link_text) {
        differences->push_back("link to " + text + " instead of " + entry.link_text + ": " + path);
      }
    } else if (is_dir ? !S_ISDIR(mode) : !S_ISREG(mode)) {
      differences->push_back(std::string("not a ") + (is_dir ? "directory" : "regular file") +
                             ": " + path);
    } else if ((mode & 07777) != entry.mode) {
      differences->push_back("mode " + OctalMode(mode) + " instead of " + OctalMode(entry.mode) +
                             ": " + path);
    }
    if (!is_dir && S_ISREG(mode) && !FilesEqual(entry.source, it->second.second)) {
      differences->push_back("contents differ: " + path);
    }
    actual.erase(it);
  }
  for (const auto& [path, found] : actual) differences->push_back("not in the new tree: " + path);
}

bool VerifyUpdate(const std::string& updater, const QexKeySet* keys, const std::string& archive,
                  const std::string& old_dir, const std::string& scratch,
                  const TreeListing& expected, bool copy_links,
                  std::vector<std::string>* differences, std::string* error) {
  std::string install = scratch + "/install", update = scratch + "/update", bin = scratch + "/bin";
  for (const std::string& dir : {scratch, update, bin}) {
    if (mkdir(dir.c_str(), 0700) != 0) {
      *error = "cannot create " + dir + ": " + Errno();
      return false;
    }
  }
  // The updater finds its keys and settings beside the running executable,
  // so a copy here trusts exactly the keys this archive was signed with.
  const std::string program = bin + "/updater";
  if (!CopyFileBytes(updater, program, 0700, error)) return false;
  if (qex_key_count(keys) > 0 && qex_write_public_keys(keys, (program + ".keys").c_str()) != 0) {
    *error = "cannot write the keys file " + program + ".keys: " + Errno();
    return false;
  }
  struct stat st;
  if (stat(old_dir.c_str(), &st) != 0) {
    *error = "cannot examine " + old_dir + ": " + Errno();
    return false;
  }
  if (!CopyTree(old_dir, install, st.st_mode & 07777, error)) return false;
  std::string copy = update + "/update.qex";
  if (link(archive.c_str(), copy.c_str()) != 0 && !CopyFileBytes(archive, copy, 0644, error)) {
    return false;
  }
  int rv = RunUpdater(program, update, install);
  unlink(program.c_str());
  std::string status = ReadWholeFile(update + "/update.status");
  if (rv != 0 || status != "succeeded\n") {
    differences->push_back("the updater exited with " + std::to_string(rv) + ", status \"" +
                           status.substr(0, status.find('\n')) + "\"; the end of its log:\n" +
                           LastLines(ReadWholeFile(update + "/update.log"), 20));
  } else {
    CompareTrees(expected, install, copy_links, differences);
  }
  return true;
}

#include "builder/files.h"

#include <dirent.h>
#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

std::string Errno() { return strerror(errno); }

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  return b.empty() ? a : a + "/" + b;
}

bool ListDirectory(const std::string& dir, std::vector<std::string>* names) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  errno = 0;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names->push_back(e->d_name);
  }
  bool ok = errno == 0;
  closedir(d);
  std::sort(names->begin(), names->end());
  return ok;
}

bool FilesEqual(const std::string& a, const std::string& b) {
  ScopedFile fa(fopen(a.c_str(), "rbe")), fb(fopen(b.c_str(), "rbe"));
  if (!fa || !fb) return false;
  std::unique_ptr<char[]> ba(new char[kIoChunk]), bb(new char[kIoChunk]);
  for (;;) {
    size_t na = fread(ba.get(), 1, kIoChunk, fa.get());
    size_t nb = fread(bb.get(), 1, kIoChunk, fb.get());
    if (na != nb || memcmp(ba.get(), bb.get(), na) != 0) return false;
    if (na < kIoChunk) return !ferror(fa.get()) && !ferror(fb.get());
  }
}

std::string ReadWholeFile(const std::string& path) {
  ScopedFile f(fopen(path.c_str(), "rbe"));
  std::string text;
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f.get())) > 0) text.append(buf, n);
  return text;
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
  ScopedFile f(fopen(path.c_str(), "wbe"));
  if (!f || fwrite(text.data(), 1, text.size(), f.get()) != text.size() || f.close() != 0) {
    *error = "cannot write " + path + ": " + Errno();
    return false;
  }
  return true;
}

bool OpenForCopy(const std::string& from, const std::string& to, ScopedFile* in, ScopedFile* out,
                 std::string* error) {
  in->reset(fopen(from.c_str(), "rbe"));
  if (!*in) {
    *error = "cannot read " + from + ": " + Errno();
    return false;
  }
  out->reset(fopen(to.c_str(), "wbe"));
  if (!*out) {
    *error = "cannot create " + to + ": " + Errno();
    return false;
  }
  return true;
}

namespace {

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

// Not fileops' ensure_remove_recursive: that stops at the first path over its
// 1024-byte buffers, and the scratch installation of --verify holds paths of
// up to that length below the work directory, which would then stay behind.
void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadLinkText(const std::string& path) {
  char target[PATH_MAX + 1];
  ssize_t n = readlink(path.c_str(), target, PATH_MAX);
  return std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
}

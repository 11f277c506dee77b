#include "driver/run_dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileops/beneath.h"

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool OpenedDir::Open(const std::string& path) {
  parent.reset(open_parent_dir(AT_FDCWD, path.c_str(), name));
  if (!parent.ok()) return false;
  fd.reset(
      openat(parent.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  return fd.ok();
}

bool OpenedDir::Has(const char* entry) const {
  struct stat st;
  return fstatat(fd.get(), entry, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool OpenedDir::HasDir(const char* entry) const {
  struct stat st;
  return fstatat(fd.get(), entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

int RemoveLast(OpenedDir* dir, const char* last) {
  int rv = remove_entries_at(dir->fd.get(), last);
  if (rv == 0 && dir->Has(last)) rv = remove_tree_at(dir->fd.get(), last);
  if (rv == 0 && unlinkat(dir->parent.get(), dir->name, AT_REMOVEDIR) != 0) rv = -1;
  return rv;
}

int RemoveLast(const std::string& path, const char* last) {
  OpenedDir dir;
  if (dir.Open(path)) return RemoveLast(&dir, last);
  return Exists(path) ? -1 : 0;
}

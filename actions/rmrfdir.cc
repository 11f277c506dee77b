#include "actions/rmrfdir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "actions/remove_action.h"
#include "actions/update_context.h"
#include "base/error_codes.h"
#include "base/paths.h"
#include "base/update_log.h"
#include "fileops/beneath.h"

std::unique_ptr<char[]> quote_path(const char* path) {
  size_t len = strlen(path);
  std::unique_ptr<char[]> quoted(new (std::nothrow) char[len + 3]);
  if (!quoted) return nullptr;
  quoted[0] = '"';
  memcpy(quoted.get() + 1, path, len);
  quoted[len + 1] = '"';
  quoted[len + 2] = '\0';
  return quoted;
}

namespace {

// Appends the action for one entry the walk found: a RemoveAction for
// `suffix` "", an RmdirAction for "/". The action gets its own copy of the
// exact path, kept alive by the list; a quoted copy would end at the first
// double quote in a name and name a path the walk never found.
int AppendFoundEntry(const std::string& path, const char* suffix, ActionList* list) {
  size_t len = path.size() + strlen(suffix);
  // Paths are formatted into buffers of this size elsewhere; a cut path would
  // name some other file.
  if (len >= kMaxPath) {
    LOG("add_dir_entries: path too long: %s%s", path.c_str(), suffix);
    return kUnexpectedType;
  }
  std::unique_ptr<char[]> copy(new (std::nothrow) char[len + 1]);
  if (!copy) return kQuoteNoMemory;
  snprintf(copy.get(), len + 1, "%s%s", path.c_str(), suffix);

  int rv;
  std::unique_ptr<Action> action;
  if (suffix[0] == '\0') {
    auto remove = std::make_unique<RemoveAction>();
    rv = remove->ParseFoundPath(copy.get());
    action = std::move(remove);
  } else {
    auto rmdir = std::make_unique<RmdirAction>();
    rv = rmdir->ParseFoundPath(copy.get());
    action = std::move(rmdir);
  }
  if (rv != kOk) return rv;
  list->Append(std::move(action));
  list->AdoptText(std::move(copy));
  return kOk;
}

int WalkError(const std::string& path, int err) {
  LOG("add_dir_entries: fts_read() error: %s, err: %d", path.c_str(), err);
  return kUnexpectedType;
}

// Lists the directory `fd` (taken over), named `path`, in the order it yields
// its entries: a subdirectory's contents, then the subdirectory; one on
// another file system is not entered. Every entry is reached from the open
// directory above it, never by its name from the top, so a directory swapped
// for a link meanwhile is neither followed nor listed.
int WalkDirectory(int fd, std::string* path, dev_t root_dev, ActionList* list) {
  DIR* dir = fdopendir(fd);
  if (!dir) {
    int err = errno;
    close(fd);
    return WalkError(*path, err);
  }
  int rv = kOk;
  while (rv == kOk) {
    errno = 0;
    dirent* entry = readdir(dir);
    if (!entry) {
      // A walk that stops early would leave part of the tree unlisted.
      if (errno != 0) rv = WalkError(*path, errno);
      break;
    }
    const char* name = entry->d_name;
    if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
    const size_t len = path->size();
    path->append("/").append(name);
    struct stat st;
    const bool known = entry->d_type != DT_UNKNOWN && entry->d_type != DT_DIR;
    if (!known && fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Vanished since the directory was listed: nothing left to remove.
      if (errno != ENOENT) rv = WalkError(*path, errno);
    } else if (known || !S_ISDIR(st.st_mode)) {
      if (!known && !S_ISREG(st.st_mode)) {
        LOG("add_dir_entries: found a non-standard file: %s", path->c_str());
      }
      rv = AppendFoundEntry(*path, "", list);
    } else if (st.st_dev != root_dev) {
      rv = AppendFoundEntry(*path, "/", list);
    } else {
      int sub = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        if (errno != ENOENT) rv = WalkError(*path, errno);
      } else {
        rv = WalkDirectory(sub, path, root_dev, list);
        if (rv == kOk) rv = AppendFoundEntry(*path, "/", list);
      }
    }
    path->resize(len);
  }
  closedir(dir);
  return rv;
}

}  // namespace

int add_dir_entries(const char* dir, ActionList* list) {
  size_t len = strlen(dir);
  if (len == 0) return kParseError;
  if (len >= kMaxPath) {
    LOG("add_dir_entries: path too long: %s", dir);
    return kUnexpectedType;
  }
  // Without the trailing slash, found paths have no double slash.
  std::string root(dir, len - 1);
  const int install_dir = list->context()->install_dir;
  struct stat st;
  if (stat_beneath(install_dir, root.c_str(), &st, false) != 0) {
    if (errno == ENOENT) return kOk;
    return WalkError(root, errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    if (!S_ISREG(st.st_mode)) {
      LOG("add_dir_entries: found a non-standard file: %s", root.c_str());
    }
    return AppendFoundEntry(root, "", list);
  }
  int fd = open_beneath(install_dir, root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return WalkError(root, errno);
  int rv = WalkDirectory(fd, &root, st.st_dev, list);
  return rv == kOk ? AppendFoundEntry(root, "/", list) : rv;
}

#include "actions/planned_tree.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "base/error_codes.h"
#include "fileops/beneath.h"

std::string PlannedTree::Key(const std::string& path) {
  // One spelling per path: no empty or "." components, no trailing slash.
  std::string key;
  for (size_t at = 0; at < path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at && !(end - at == 1 && path[at] == '.')) {
      if (!key.empty()) key += '/';
      key.append(path, at, end - at);
    }
    at = end + 1;
  }
  return key;
}

std::string PlannedTree::DiskName(const std::string& path) const {
  auto it = through_.find(Key(path));
  return it == through_.end() ? path : it->second;
}

PlannedTree::Node PlannedTree::OnDisk(const std::string& path) const {
  Node node;
  const std::string at = DiskName(path);
  if (at.empty() || stat_beneath(root_, at.c_str(), &node.st, false) != 0) return node;
  const mode_t type = node.st.st_mode & S_IFMT;
  node.kind = type == S_IFREG   ? Kind::kFile
              : type == S_IFDIR ? Kind::kDirectory
              : type == S_IFLNK ? Kind::kLink
                                : Kind::kOther;
  return node;
}

PlannedTree::Node PlannedTree::Lookup(const std::string& path) const {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? OnDisk(path) : it->second;
}

void PlannedTree::Set(const std::string& path, Kind kind, const std::string& entry) {
  Node& node = nodes_[Key(path)];
  node = Node();
  node.kind = kind;
  node.planned = true;
  node.entry = entry;
}

int PlannedTree::CanWrite(const std::string& path, std::string* why) const {
  const std::string key = Key(path);
  std::string nearest = ".";
  for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
    const std::string dir = key.substr(0, slash);
    auto planned = nodes_.find(dir);
    bool is_dir;
    if (planned != nodes_.end()) {
      if (planned->second.kind == Kind::kAbsent) break;  // made by the run, with what follows
      // A link an earlier line makes leads where the run will find out.
      is_dir = planned->second.kind == Kind::kDirectory || planned->second.kind == Kind::kLink;
    } else {
      // The disk does not change while the actions are checked: each
      // directory is looked at once, a link followed as the run's walk does.
      auto [it, fresh] = disk_dirs_.try_emplace(dir, DiskDir::kMissing);
      if (fresh) {
        struct stat st;
        const std::string at = DiskName(dir);
        if (!at.empty() && stat_beneath(root_, at.c_str(), &st, false) == 0) {
          it->second = S_ISDIR(st.st_mode) || (S_ISLNK(st.st_mode) &&
                                               stat_beneath(root_, at.c_str(), &st, true) == 0 &&
                                               S_ISDIR(st.st_mode))
                           ? DiskDir::kDirectory
                           : DiskDir::kOther;
        }
      }
      if (it->second == DiskDir::kMissing) break;
      is_dir = it->second == DiskDir::kDirectory;
      if (is_dir) nearest = DiskName(dir);
    }
    if (!is_dir) {
      *why = dir + " is not a directory";
      return kWriteError;
    }
  }
  auto [it, fresh] = writable_.try_emplace(nearest, 0);
  if (fresh) it->second = access_beneath(root_, nearest.c_str(), W_OK) == 0 ? 0 : errno;
  if (it->second != 0) {
    *why = "cannot write in " + nearest + ": " + strerror(it->second);
    return kWriteError;
  }
  return kOk;
}

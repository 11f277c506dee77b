#include "builder/scan.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "actions/manifest.h"
#include "builder/files.h"
#include "fileops/fileops.h"

namespace {

// The updater forms "%s.quil-backup" from a manifest path in a buffer of
// kMaxPath bytes; a longer path could not be backed up.
constexpr size_t kMaxManifestPath = kMaxPath - 1 - (sizeof(kBackupSuffix) - 1);

std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return "";
  std::string result = real;
  free(real);
  return result;
}

bool ScanDirectory(const std::string& root, const std::string& rel, bool copy_links,
                   TreeListing* listing, std::vector<std::string>* problems,
                   std::vector<std::string>* notes) {
  std::vector<std::string> names;
  std::string dir = JoinPath(root, rel);
  if (!ListDirectory(dir, &names)) {
    problems->push_back("cannot read the directory " + dir + ": " + Errno());
    return false;
  }
  bool ok = true;
  for (const std::string& name : names) {
    std::string path = JoinPath(rel, name);
    std::string full = root + "/" + path;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
      problems->push_back("cannot examine " + full + ": " + Errno());
      ok = false;
      continue;
    }
    TreeEntry entry;
    entry.source = full;
    if (S_ISLNK(st.st_mode)) {
      std::string link_text = ReadLinkText(full);
      std::string shown = full + " -> " + link_text;
      if (!copy_links) {
        // The target is data: kept exactly as the tree has it.
        if (link_text.empty() || link_text.size() >= kMaxPath ||
            link_text.find_first_of("\"\r\n") != std::string::npos || !IsExpressiblePath(path)) {
          problems->push_back("a symbolic link the manifest cannot carry: " + shown);
          continue;
        }
        entry.kind = TreeEntry::kLink;
        entry.link_text = link_text;
        (*listing)[path] = entry;
        continue;
      }
      // Whatever it names outside the tree is a file of this machine, not of
      // the version being shipped.
      struct stat named;
      if (stat(full.c_str(), &named) == 0 && PathInTree(root, full).empty()) {
        problems->push_back("symbolic link leading outside the tree: " + shown);
        continue;
      }
      if (stat(full.c_str(), &st) != 0) {
        notes->push_back("left out (dangling symbolic link): " + shown);
        continue;
      }
      if (!S_ISREG(st.st_mode)) {
        problems->push_back("symbolic link to something other than a regular file: " + shown);
        continue;
      }
      notes->push_back("stored as a copy of its target: " + shown);
      entry.via_link = true;
      entry.link_text = link_text;
      entry.link_resolved = PathInTree(root, full);
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      problems->push_back("neither a regular file, a directory nor a symbolic link: " + full);
      continue;
    }
    if (!IsExpressiblePath(path)) {
      problems->push_back(
          "a name the manifest cannot carry (\"..\", a double quote, a line break "
          "or too long): " +
          full);
      continue;
    }
    entry.mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) {
      entry.kind = TreeEntry::kDirectory;
      (*listing)[path] = entry;
      ok = ScanDirectory(root, path, copy_links, listing, problems, notes) && ok;
    } else {
      entry.kind = TreeEntry::kFile;
      entry.size = static_cast<uint64_t>(st.st_size);
      (*listing)[path] = entry;
    }
  }
  return ok;
}

}  // namespace

bool ScanTree(const std::string& root, bool copy_links, TreeListing* listing,
              std::vector<std::string>* problems, std::vector<std::string>* notes) {
  struct stat st;
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    problems->push_back("not a directory: " + root);
    return false;
  }
  return ScanDirectory(root, "", copy_links, listing, problems, notes);
}

bool IsExpressiblePath(const std::string& path) {
  // What the line syntax needs: a non-empty quoted word, and a backup name
  // that fits the updater's buffer.
  if (path.empty() || path.size() > kMaxManifestPath ||
      path.find_first_of("\"\r\n") != std::string::npos) {
    return false;
  }
  // The updater's rules for the text of a path. They also check that no
  // directory on the way is a link leading out of the installation, looking
  // in the working directory; with every "/" after the first byte replaced
  // there is none to look up, and "/" at the start and ".." judge the same.
  std::string text = path;
  std::replace(text.begin() + 1, text.end(), '/', '_');
  return check_path_rules(&text[0], false) != nullptr;
}

std::string PathInTree(const std::string& root, const std::string& path) {
  std::string real_root = RealPath(root), real = RealPath(path);
  if (real_root.empty() || real.compare(0, real_root.size() + 1, real_root + "/") != 0) return "";
  return real.substr(real_root.size() + 1);
}

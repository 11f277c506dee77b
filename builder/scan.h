// Reading an installation tree into a listing, and the rules for what a
// manifest line can name.
#ifndef UPDATER_BUILDER_SCAN_H_
#define UPDATER_BUILDER_SCAN_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One object found in a tree, by its path relative to the tree's root.
struct TreeEntry {
  // kLink: a symbolic link kept as a link (its target is only text).
  enum Kind { kFile, kDirectory, kLink };
  Kind kind = kFile;
  mode_t mode = 0;     // permission bits (07777); of the target for a copied link
  uint64_t size = 0;   // files only
  std::string source;  // where to read a file's bytes (a link's own path when copied)
  bool via_link = false;
  std::string link_text;      // what a link or a copied link names
  std::string link_resolved;  // the file it finally names, relative to the root ("" outside)
};

using TreeListing = std::map<std::string, TreeEntry>;

// Walks `root` without following links (entries sorted by name). Symbolic
// links are kept as links (kLink), whatever they name. With `copy_links`, for
// updaters without the link keywords, a link to a regular file of the tree is
// stored as that file instead, a dangling one left out, and any other is a
// problem. Every object that the manifest cannot express is a problem,
// appended to `problems` as one line: those links, a link whose target text
// no manifest line can carry, other non-regular files, and names the
// manifest's path rules reject. Notes
// on links stored or left out go to `notes`. False when the walk itself
// failed (also reported in `problems`).
bool ScanTree(const std::string& root, bool copy_links, TreeListing* listing,
              std::vector<std::string>* problems, std::vector<std::string>* notes);

// True when `path` can stand between the double quotes of a manifest line and
// pass the updater's path rules (relative, no "..", no quote or line break,
// short enough for its backup name).
bool IsExpressiblePath(const std::string& path);

// The path of what `path` finally names, relative to the tree at `root` once
// both are resolved; "" when it lies outside the tree (or is its root) or
// either cannot be resolved.
std::string PathInTree(const std::string& root, const std::string& path);

#endif  // UPDATER_BUILDER_SCAN_H_

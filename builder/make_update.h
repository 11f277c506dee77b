// Building update archives from two installation trees.
//
// A complete update carries every file of the new tree and a "precomplete"
// file that lists them, so that the next complete update removes them first.
// A partial update carries only what changed: a QXPATCH1 patch where its
// compressed size beats the compressed file, the whole file otherwise, and
// removals for what is gone. Every entry is stored as one bzip2 stream.
#ifndef UPDATER_BUILDER_MAKE_UPDATE_H_
#define UPDATER_BUILDER_MAKE_UPDATE_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

// The manifest entry of the archive and the installation's list of files.
constexpr char kManifestEntry[] = "updatev3.manifest";
constexpr char kPrecompleteName[] = "precomplete";

struct MakeUpdateOptions {
  std::string old_dir;  // may be empty for a complete update without --verify
  std::string new_dir;
  std::string output = "update.qex";
  std::string channel = "release";
  std::string version;
  bool full = false;
  // Store a symbolic link to a regular file as a copy of that file and leave
  // dangling links out; without it every link is refused.
  bool copy_links = false;
  bool verify = false;
  std::string updater;  // the updater program for verify
  int jobs = 0;         // worker threads; 0 means one per processor
};

// One object found in a tree, by its path relative to the tree's root.
struct TreeEntry {
  enum Kind { kFile, kDirectory };
  Kind kind = kFile;
  mode_t mode = 0;     // permission bits (07777); of the target for a copied link
  uint64_t size = 0;   // files only
  std::string source;  // where to read a file's bytes (a link's own path when copied)
  bool via_link = false;
  std::string link_text;      // what a copied link names
  std::string link_resolved;  // the file it finally names, relative to the root ("" outside)
};

using TreeListing = std::map<std::string, TreeEntry>;

// Walks `root` without following links (entries sorted by name). Every object
// that the manifest cannot express is a problem, appended to `problems` as
// one line: symbolic links (unless `copy_links`, which then stores links to
// regular files as files, leaves dangling ones out and refuses the others),
// other non-regular files, and names the manifest's path rules reject. Notes
// on links stored or left out go to `notes`. False when the walk itself
// failed (also reported in `problems`).
bool ScanTree(const std::string& root, bool copy_links, TreeListing* listing,
              std::vector<std::string>* problems, std::vector<std::string>* notes);

// True when `path` can stand between the double quotes of a manifest line and
// pass the updater's path rules (relative, no "..", no quote or line break,
// short enough for its backup name).
bool IsExpressiblePath(const std::string& path);

// The precomplete text for a tree: a `remove` line for every file and an
// `rmdir` line for every directory, deepest first.
std::string PrecompleteText(const TreeListing& listing);

// Compares the tree at `actual_root` (the result of an update) with the
// expected listing: names, kinds, file bytes and permission bits. With
// `copy_links`, links are followed and dangling ones are not compared. Every
// difference is appended to `differences` as one line.
void CompareTrees(const TreeListing& expected, const std::string& actual_root, bool copy_links,
                  std::vector<std::string>* differences);

// Compresses the file at `source` into a new file at `dest` as one bzip2
// stream (block size 9), with permission bits `mode`. Stores the compressed
// size in `stored_size`. False, with `error` set, on any failure.
bool CompressFile(const std::string& source, const std::string& dest, mode_t mode,
                  uint64_t* stored_size, std::string* error);

// The whole tool: plans, builds and, if asked, verifies the update. Progress
// and notes go to `out`, problems to `err`. 0 on success, 1 otherwise.
int MakeUpdate(const MakeUpdateOptions& options, FILE* out, FILE* err);

#endif  // UPDATER_BUILDER_MAKE_UPDATE_H_

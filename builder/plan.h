// Planning an update from two listings: which files are compared, then, once
// the jobs have run (builder/write.h), what the manifest adds, patches and
// removes; and the precomplete file that every update installs.
#ifndef UPDATER_BUILDER_PLAN_H_
#define UPDATER_BUILDER_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/paths.h"
#include "builder/scan.h"

// The manifest entry of the archive and the installation's list of files.
constexpr char kManifestEntry[] = "updatev3.manifest";
constexpr char kPrecompleteName[] = "precomplete";

// One file of the new tree: planned here, decided and staged by RunJobs.
struct FileJob {
  enum Type { kAdd, kCompare };
  Type type = kAdd;
  std::string path;
  const TreeEntry* new_entry = nullptr;
  const TreeEntry* old_entry = nullptr;  // kCompare only

  enum Outcome { kUnchanged, kStoreFile, kStorePatch };
  Outcome outcome = kStoreFile;
  std::string staged;         // the compressed payload in the work directory
  uint64_t stored = 0;        // its size
  uint64_t file_stored = 0;   // compressed size of the whole file
  uint64_t patch_stored = 0;  // compressed size of the patch (0 when none was made)
  std::string note;           // why a changed file is stored whole
  std::string error;
};

// The precomplete text for a tree: a `remove` line for every file and link
// and an `rmdir` line for every directory, deepest first.
std::string PrecompleteText(const TreeListing& listing);

// Writes the precomplete file of `new_tree`, which lists itself, to
// work/precomplete.txt and adds it to `new_tree` (replacing any file of that
// name). False with `error` set when it cannot be written.
bool AddPrecomplete(const std::string& work, TreeListing* new_tree, std::string* error);

// Writes the version record (base/paths.h): a line holding `version`, then
// one holding `app_id` unless it is empty, to work/product-version.txt and
// adds it to `new_tree` (replacing any file of that name). False with `error`
// set when it cannot be written.
bool AddVersionRecord(const std::string& work, const std::string& version,
                      const std::string& app_id, TreeListing* new_tree, std::string* error);

// One job per file of `new_tree`, in path order: a comparison where
// `old_tree` has a file of the same path, an addition otherwise. The jobs
// point into both listings.
std::vector<FileJob> PlanFileJobs(const TreeListing& old_tree, const TreeListing& new_tree);

// The update that jobs without errors add up to.
struct UpdatePlan {
  std::string manifest;
  std::vector<std::pair<std::string, std::string>> entries;  // entry name, staged payload
  std::vector<std::string> notes;  // lost mode bits and files stored whole, in path order
  size_t patched = 0, added = 0, removed = 0, dirs_removed = 0, unchanged = 0;
  // addlink and adddir lines, which an updater without them refuses.
  size_t links = 0, dirs_added = 0;
  uint64_t stored = 0;  // compressed bytes of all entries, each staged payload once
};

// Removals come first, so that a file or link can give way to a directory of
// the same name, then the new directories that the additions would not make
// as the new tree has them (empty, or of another mode than 0755; none with
// `copy_links`), additions and patches, new and changed links (each replacing
// a file or link in its place), then the directories that are gone, deepest
// first. A patch entry is named "<path>.patch" (".patch.N" where a file entry
// has that name). `full` only sets the manifest's type.
UpdatePlan PlanUpdate(const std::vector<FileJob>& jobs, const TreeListing& old_tree,
                      const TreeListing& new_tree, bool full, bool copy_links);

// True when nothing of `listing` lies below the directory `path`.
bool IsEmptyDirectory(const TreeListing& listing, const std::string& path);

#endif  // UPDATER_BUILDER_PLAN_H_

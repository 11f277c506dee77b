// The installation as an update's actions will find it when each executes:
// what stands on disk now, overlaid with what the actions checked before it
// will have written or removed by then. The run checks every action against
// it while preparing, before anything changes, and the check of an update does
// the same, so both meet the same refusals.
#ifndef UPDATER_ACTIONS_PLANNED_TREE_H_
#define UPDATER_ACTIONS_PLANNED_TREE_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <string>

class PlannedTree {
 public:
  enum class Kind { kAbsent, kFile, kDirectory, kLink, kOther };
  struct Node {
    Kind kind = Kind::kAbsent;
    // Written by an earlier action (else found on disk).
    bool planned = false;
    // A file that an earlier add writes: the archive entry it comes from.
    std::string entry;
    // Found on disk: its status (not following a final link).
    struct stat st = {};
  };

  // The installation directory its paths resolve beneath (beneath.h);
  // AT_FDCWD: the working directory. The list sets its context's.
  void set_root(int root) { root_ = root; }

  // Until an interrupted run is recovered, the file of a path may stand
  // under another name (its backup), or nowhere ("") when the interrupted run
  // created it: a check reads through these names.
  void Redirect(std::map<std::string, std::string> through) { through_ = std::move(through); }

  // What will stand at `path` (a final link not followed).
  Node Lookup(const std::string& path) const;
  // What stands there on disk now, before any action.
  Node OnDisk(const std::string& path) const;
  // The name `path` is found under on disk now ("" when nowhere).
  std::string DiskName(const std::string& path) const;
  // Records what an action leaves at `path`.
  void Set(const std::string& path, Kind kind, const std::string& entry = "");

  // Whether a file can be put at `path`: each directory leading to it is one
  // (or missing, to be made) and the nearest existing one is writable. 0, or
  // 7 with the reason in `why`.
  int CanWrite(const std::string& path, std::string* why) const;

 private:
  static std::string Key(const std::string& path);
  enum class DiskDir { kMissing, kDirectory, kOther };
  int root_ = AT_FDCWD;
  std::map<std::string, Node> nodes_;
  // What CanWrite found on disk: each directory's type, and whether it can
  // be written in (0, or the errno of the test).
  mutable std::map<std::string, DiskDir> disk_dirs_;
  mutable std::map<std::string, int> writable_;
  std::map<std::string, std::string> through_;
};

#endif  // UPDATER_ACTIONS_PLANNED_TREE_H_

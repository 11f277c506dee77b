#include "actions/remove_action.h"

#include <errno.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "actions/manifest.h"
#include "actions/planned_tree.h"
#include "actions/update_context.h"
#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"
#include "fileops/journal.h"

namespace {

// A failed existence test means "absent" unless the path led outside the
// installation: that is no absent file but a path the update cannot use.
bool Found(int rv) { return rv == 0 || errno == EXDEV; }

}  // namespace

int RemoveAction::Parse(char* line) {
  path = get_valid_path(&line, false);
  return path ? kOk : kParseError;
}

int RemoveAction::ParseFoundPath(char* found) {
  path = check_path_rules(found, false);
  return path ? kOk : kParseError;
}

// The entry itself: a symbolic link is removed as a link, whatever it names.
bool RemoveAction::Exists() const {
  struct stat st;
  return Found(stat_beneath(context().install_dir, path, &st, false));
}

// Whether a removal is skipped is decided on the installation as it is before
// anything changes, as the run has always done.
int RemoveAction::Check() {
  const std::string at = planned().DiskName(path);
  struct stat st;
  if (at.empty() || !Found(stat_beneath(context().install_dir, at.c_str(), &st, false))) {
    skip = 1;
    progress_cost = 0;
    Plan("remove", path, "absent, nothing to do");
    return kOk;
  }
  LOG("PREPARE REMOVEFILE %s", path);

  if (stat_beneath(context().install_dir, at.c_str(), &st, false) != 0) {
    int err = errno;
    return Refuse(kReadError, false, path, "failed to read file status info: %s, err: %d", path,
                  err);
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    return Refuse(kUnexpectedType, false, path, "path present, but not a file: %s", path);
  }

  // Removing a name needs write permission on the directory holding it.
  const std::string name(path);
  const size_t slash = name.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : planned().DiskName(name.substr(0, slash));
  if (access_beneath(context().install_dir, dir.c_str(), W_OK) != 0) {
    int err = errno;
    return Refuse(kWriteError, false, path, "access failed: %s, err: %d", path, err);
  }
  Plan("remove", path, "removed");
  planned().Set(path, PlannedTree::Kind::kAbsent);
  return kOk;
}

int RemoveAction::Stage() { return skip ? kOk : backup_.Plan(backups(), path); }

int RemoveAction::Execute() {
  if (skip) return kOk;
  LOG("EXECUTE REMOVEFILE %s", path);
  int rv = backup_make_way(backups(), path);
  if (rv != kOk) return rv;
  if (!Exists()) {
    LOG("file cannot be removed because it does not exist; skipping");
    skip = 1;
    return kOk;
  }
  rv = backup_.Create(backups(), path);
  if (rv != kOk) {
    LOG("backup_create failed: %s, rv: %d", path, rv);
    return rv;
  }
  return kOk;
}

void RemoveAction::Finish(int status) {
  if (skip) return;
  LOG("FINISH REMOVEFILE %s", path);
  if (status != 0) {
    backup_.Restore(path);
  } else {
    backup_.Delete();
  }
}

int RmdirAction::Parse(char* line) {
  dir = get_valid_path(&line, true);
  return dir ? kOk : kParseError;
}

int RmdirAction::ParseFoundPath(char* found) {
  dir = check_path_rules(found, true);
  return dir ? kOk : kParseError;
}

int RmdirAction::Check() {
  const std::string shown = std::string(dir) + "/";
  if (skip) {
    Plan("rmdir", shown.c_str(), "kept: an adddir line makes it");
    return kOk;
  }
  const std::string at = planned().DiskName(dir);
  if (at.empty() || !Found(access_beneath(context().install_dir, at.c_str(), F_OK))) {
    skip = 1;
    progress_cost = 0;
    Plan("rmdir", shown.c_str(), "absent, nothing to do");
    return kOk;
  }
  LOG("PREPARE REMOVEDIR %s/", dir);

  struct stat st;
  if (stat_beneath(context().install_dir, at.c_str(), &st, true) != 0) {
    int err = errno;
    return Refuse(kReadError, false, dir, "failed to read directory status info: %s, err: %d", dir,
                  err);
  }
  if (!S_ISDIR(st.st_mode)) {
    return Refuse(kUnexpectedType, false, dir, "path present, but not a directory: %s", dir);
  }
  int rv = access_beneath(context().install_dir, at.c_str(), W_OK);
  if (rv != 0) {
    int err = errno;
    return Refuse(kWriteError, false, dir, "access failed: %s/, rv: %d, err: %d", dir, rv, err);
  }
  Plan("rmdir", shown.c_str(), "removed once empty");
  return kOk;
}

int RmdirAction::Execute() {
  if (skip) return kOk;
  LOG("EXECUTE REMOVEDIR %s/", dir);
  if (access_beneath(context().install_dir, dir, F_OK) != 0) {
    LOG("directory no longer exists; skipping");
    skip = 1;
    return kOk;
  }
  // Needed only by a recovery that finishes the run after its commit.
  return backups().journal.Add(kJournalRmdir, {dir}, false);
}

void RmdirAction::Finish(int status) {
  if (skip || status != 0) return;
  LOG("FINISH REMOVEDIR %s/", dir);
  int rv = access_beneath(context().install_dir, dir, F_OK);
  if (rv != 0) {
    LOG("directory no longer exists; skipping");
    return;
  }
  if (rmdir_beneath(context().install_dir, dir) != 0) {
    int err = errno;
    // The rv logged is the existence test's: rmdir's -1 says nothing more.
    LOG("non-fatal error removing directory: %s/, rv: %d, err: %d", dir, rv, err);
  }
}

#include "actions/remove_action.h"

#include <errno.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <utility>

#include "actions/manifest.h"
#include "base/run_settings.h"
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
  return Found(stat_beneath(path, &st, false));
}

int RemoveAction::Prepare() {
  if (!Exists()) {
    skip = 1;
    progress_cost = 0;
    return kOk;
  }
  LOG("PREPARE REMOVEFILE %s", path);

  struct stat st;
  int rv = stat_beneath(path, &st, false);
  if (rv != 0) {
    int err = errno;
    LOG("failed to read file status info: %s, err: %d", path, err);
    return kReadError;
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    LOG("path present, but not a file: %s", path);
    return kUnexpectedType;
  }

  // Removing a name needs write permission on the directory holding it. The
  // path is cut at its last slash for the test and then restored.
  char* slash = strrchr(path, '/');
  if (slash) *slash = '\0';
  rv = access_beneath(slash ? path : ".", W_OK);
  int err = errno;
  if (slash) *slash = '/';
  if (rv != 0) {
    LOG("access failed: %s, err: %d", path, err);
    return kWriteError;
  }
  return backup_.Plan(path);
}

int RemoveAction::Execute() {
  if (skip) return kOk;
  LOG("EXECUTE REMOVEFILE %s", path);
  int rv = backup_make_way(path);
  if (rv != kOk) return rv;
  if (!Exists()) {
    LOG("file cannot be removed because it does not exist; skipping");
    skip = 1;
    return kOk;
  }
  rv = backup_.Create(path);
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

int RmdirAction::Prepare() {
  if (skip || !Found(access_beneath(dir, F_OK))) {
    skip = 1;
    progress_cost = 0;
    return kOk;
  }
  LOG("PREPARE REMOVEDIR %s/", dir);

  struct stat st;
  if (stat_beneath(dir, &st, true) != 0) {
    int err = errno;
    LOG("failed to read directory status info: %s, err: %d", dir, err);
    return kReadError;
  }
  if (!S_ISDIR(st.st_mode)) {
    LOG("path present, but not a directory: %s", dir);
    return kUnexpectedType;
  }
  int rv = access_beneath(dir, W_OK);
  if (rv != 0) {
    int err = errno;
    LOG("access failed: %s/, rv: %d, err: %d", dir, rv, err);
    return kWriteError;
  }
  return kOk;
}

int RmdirAction::Execute() {
  if (skip) return kOk;
  LOG("EXECUTE REMOVEDIR %s/", dir);
  if (access_beneath(dir, F_OK) != 0) {
    LOG("directory no longer exists; skipping");
    skip = 1;
    return kOk;
  }
  // Needed only by a recovery that finishes the run after its commit.
  return gJournal.Add(kJournalRmdir, {dir}, false);
}

void RmdirAction::Finish(int status) {
  if (skip || status != 0) return;
  LOG("FINISH REMOVEDIR %s/", dir);
  int rv = access_beneath(dir, F_OK);
  if (rv != 0) {
    LOG("directory no longer exists; skipping");
    return;
  }
  if (rmdir_beneath(dir) != 0) {
    int err = errno;
    // The rv logged is the existence test's: rmdir's -1 says nothing more.
    LOG("non-fatal error removing directory: %s/, rv: %d, err: %d", dir, rv, err);
  }
}

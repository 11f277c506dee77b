#include "actions/remove_action.h"

#include <errno.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <utility>

#include "actions/manifest.h"
#include "driver/run_settings.h"
#include "driver/update_log.h"
#include "fileops/fileops.h"

int RemoveAction::Parse(char* line) {
  path = get_valid_path(&line, false);
  return path ? kOk : kParseError;
}

int RemoveAction::ParseFoundPath(char* found) {
  entry_itself_ = true;
  path = check_path_rules(found, false);
  return path ? kOk : kParseError;
}

bool RemoveAction::Exists() const {
  if (!entry_itself_) return access(path, F_OK) == 0;
  struct stat st;
  return lstat(path, &st) == 0;
}

int RemoveAction::Prepare() {
  if (!Exists()) {
    skip = 1;
    progress_cost = 0;
    return kOk;
  }
  LOG("PREPARE REMOVEFILE %s", path);

  struct stat st;
  int rv = entry_itself_ ? lstat(path, &st) : stat(path, &st);
  if (rv != 0) {
    int err = errno;
    LOG("failed to read file status info: %s, err: %d", path, err);
    return kReadError;
  }
  bool removable = S_ISREG(st.st_mode) || (entry_itself_ && S_ISLNK(st.st_mode));
  if (!removable) {
    LOG("path present, but not a file: %s", path);
    return kUnexpectedType;
  }

  // Removing a name needs write permission on the directory holding it. The
  // path is cut at its last slash for the test and then restored.
  char* slash = strrchr(path, '/');
  if (slash) *slash = '\0';
  rv = access(slash ? path : ".", W_OK);
  int err = errno;
  if (slash) *slash = '/';
  if (rv != 0) {
    LOG("access failed: %d", err);
    return kWriteError;
  }
  return kOk;
}

int RemoveAction::Execute() {
  if (skip) return kOk;
  LOG("EXECUTE REMOVEFILE %s", path);
  if (!Exists()) {
    LOG("file cannot be removed because it does not exist; skipping");
    skip = 1;
    return kOk;
  }
  int rv = backup_create(path);
  if (rv != kOk) {
    LOG("backup_create failed: %d", rv);
    return rv;
  }
  return kOk;
}

void RemoveAction::Finish(int status) {
  if (skip) return;
  LOG("FINISH REMOVEFILE %s", path);
  if (status != 0) {
    backup_restore(path);
  } else {
    backup_delete(path);
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
  if (access(dir, F_OK) != 0) {
    skip = 1;
    progress_cost = 0;
    return kOk;
  }
  LOG("PREPARE REMOVEDIR %s/", dir);

  struct stat st;
  if (stat(dir, &st) != 0) {
    int err = errno;
    LOG("failed to read directory status info: %s, err: %d", dir, err);
    return kReadError;
  }
  if (!S_ISDIR(st.st_mode)) {
    LOG("path present, but not a directory: %s", dir);
    return kUnexpectedType;
  }
  int rv = access(dir, W_OK);
  if (rv != 0) {
    int err = errno;
    LOG("access failed: %d, %d", rv, err);
    return kWriteError;
  }
  return kOk;
}

int RmdirAction::Execute() {
  if (skip) return kOk;
  LOG("EXECUTE REMOVEDIR %s/", dir);
  if (access(dir, F_OK) != 0) {
    LOG("directory no longer exists; skipping");
    skip = 1;
  }
  return kOk;
}

void RmdirAction::Finish(int status) {
  if (skip || status != 0) return;
  LOG("FINISH REMOVEDIR %s/", dir);
  int rv = access(dir, F_OK);
  if (rv != 0) {
    LOG("directory no longer exists; skipping");
    return;
  }
  if (rmdir(dir) != 0) {
    int err = errno;
    // The rv logged is the existence test's: rmdir's -1 says nothing more.
    LOG("non-fatal error removing directory: %s/, rv: %d, err: %d", dir, rv, err);
  }
}

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
int AppendFoundEntry(const FTSENT* entry, const char* suffix, ActionList* list) {
  size_t len = strlen(entry->fts_path) + strlen(suffix);
  // Paths are formatted into buffers of this size elsewhere; a cut path would
  // name some other file.
  if (len >= kPathBufferSize) {
    LOG("add_dir_entries: path too long: %s%s", entry->fts_path, suffix);
    return kUnexpectedType;
  }
  std::unique_ptr<char[]> copy(new (std::nothrow) char[len + 1]);
  if (!copy) return kQuoteNoMemory;
  snprintf(copy.get(), len + 1, "%s%s", entry->fts_path, suffix);

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

// The action for one walk entry; 0 to go on, else the expansion's result.
int HandleEntry(const FTSENT* entry, ActionList* list) {
  switch (entry->fts_info) {
    case FTS_DC:
      LOG("add_dir_entries: fts_read() returned FT_DC: %s", entry->fts_path);
      return kUnexpectedType;
    case FTS_SL:
    case FTS_SLNONE:
    case FTS_DEFAULT:
      LOG("add_dir_entries: found a non-standard file: %s", entry->fts_path);
      return AppendFoundEntry(entry, "", list);
    case FTS_F:
    case FTS_NSOK:
      return AppendFoundEntry(entry, "", list);
    case FTS_DP:
      return AppendFoundEntry(entry, "/", list);
    case FTS_DNR:
    case FTS_NS:
      // Vanished since its directory was listed: nothing left to remove.
      if (entry->fts_errno == ENOENT) return kOk;
      [[fallthrough]];
    case FTS_ERR:
      LOG("add_dir_entries: fts_read() error: %s, err: %d", entry->fts_path, entry->fts_errno);
      return kUnexpectedType;
    default:
      return kOk;
  }
}

}  // namespace

int add_dir_entries(const char* dir, ActionList* list) {
  char root[kPathBufferSize];
  size_t len = strlen(dir);
  if (len == 0) return kParseError;
  if (len >= sizeof(root)) {
    LOG("add_dir_entries: path too long: %s", dir);
    return kUnexpectedType;
  }
  // Without the trailing slash, found paths have no double slash.
  memcpy(root, dir, len - 1);
  root[len - 1] = '\0';

  char* roots[] = {root, nullptr};
  FTS* fts = fts_open(roots, FTS_NOCHDIR | FTS_NOSTAT | FTS_PHYSICAL | FTS_XDEV, nullptr);
  if (!fts) return kUnexpectedType;

  int rv = kOk;
  while (rv == kOk) {
    errno = 0;
    FTSENT* entry = fts_read(fts);
    if (!entry) {
      // A walk that stops early would leave part of the tree unlisted.
      if (errno != 0) {
        int err = errno;
        LOG("add_dir_entries: fts_read() error: %s, err: %d", root, err);
        rv = kUnexpectedType;
      }
      break;
    }
    rv = HandleEntry(entry, list);
  }
  fts_close(fts);
  return rv;
}

int AddPreCompleteActions(ActionList* list) {
  if (isOsUpdate) return kOk;
  std::unique_ptr<char[]> owned = GetManifestContents("precomplete");
  if (!owned) {
    LOG("AddPreCompleteActions: error getting contents of precomplete manifest");
    // Only a missing file means there is nothing to remove. One that exists
    // but cannot be read would let a complete update report success while
    // leaving every file it lists behind.
    struct stat st;
    if (stat("precomplete", &st) != 0 && errno == ENOENT) return kOk;
    return kReadError;
  }
  // The actions point into the text from the moment they are appended.
  char* cursor = owned.get();
  list->AdoptText(std::move(owned));

  while (char* line = next_token(kLineDelimiters, &cursor)) {
    if (line[0] == '#') continue;
    char* keyword = next_token(kWordDelimiters, &line);
    if (!keyword) {
      LOG("AddPreCompleteActions: token not found in manifest");
      return kParseError;
    }
    std::unique_ptr<Action> action;
    if (!strcmp(keyword, "remove")) {
      action = std::make_unique<RemoveAction>();
    } else if (!strcmp(keyword, "rmdir")) {
      action = std::make_unique<RmdirAction>();
    } else if (!strcmp(keyword, "remove-cc")) {
      continue;
    } else {
      LOG("AddPreCompleteActions: unknown token: %s", keyword);
      return kParseError;
    }
    int rv = action->Parse(line);
    if (rv != kOk) return rv;
    list->Append(std::move(action));
  }
  return kOk;
}

#include "actions/rmrfdir.h"

#include <errno.h>
#include <fts.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "actions/remove_action.h"
#include "base/error_codes.h"
#include "base/paths.h"
#include "base/update_log.h"

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
  if (len >= kMaxPath) {
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
  char root[kMaxPath];
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

#include "actions/manifest_parser.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "actions/add_action.h"
#include "actions/check_report.h"
#include "actions/manifest.h"
#include "actions/patch_action.h"
#include "actions/planned_tree.h"
#include "actions/precomplete.h"
#include "actions/remove_action.h"
#include "actions/rmrfdir.h"
#include "actions/update_context.h"
#include "base/error_codes.h"
#include "base/update_log.h"
#include "fileops/beneath.h"

namespace {

template <typename T>
std::unique_ptr<Action> Make() {
  return std::make_unique<T>();
}

struct Keyword {
  const char* name;
  std::unique_ptr<Action> (*make)();
  bool in_precomplete;
};

constexpr Keyword kKeywords[] = {
    {"remove", Make<RemoveAction>, true},     {"rmdir", Make<RmdirAction>, true},
    {"add", Make<AddAction>, false},          {"patch", Make<PatchAction>, false},
    {"add-if", Make<AddIfAction>, false},     {"add-if-not", Make<AddIfNotAction>, false},
    {"patch-if", Make<PatchIfAction>, false}, {"addlink", Make<AddLinkAction>, false},
    {"adddir", Make<AddDirAction>, false},
};

// What names one file (beneath `root`) however the path is written: the
// directory holding it (device and inode, so that a link inside the
// installation and its target agree) and the last component; the text without empty and "."
// components where that directory does not exist yet. `*exists`: whether something is at the path
// now.
std::string FileKey(int root, const char* path, bool* exists) {
  BeneathPath p(root, path);
  struct stat st;
  *exists = p.ok() && fstatat(p.dir(), p.name(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (p.ok() && fstat(p.dir(), &st) == 0) {
    char key[64];
    snprintf(key, sizeof(key), "%llu:%llu/", static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    return key + std::string(p.name());
  }
  std::string key;
  for (const char* c = path; *c;) {
    size_t len = strcspn(c, "/");
    if (len > 0 && !(len == 1 && c[0] == '.')) key.append("/").append(c, len);
    c += len + (c[len] == '/');
  }
  return key;
}

// An update in which two actions would each move a file of one path to a
// backup (the second one moving what the first one installed) rests its
// rollback on a chain of backups, and make-update never writes one. The
// actions are followed through on the installation as it is (with their
// conditions as they hold now), and such an update is refused before anything
// changes. A removal and then the new file (a complete update), a file added
// where there was none and then patched, a path removed twice: all fine.
int CheckDuplicatePaths(const ActionList& list) {
  struct PathState {
    bool exists = false;
    bool backed_up = false;
  };
  std::map<std::string, PathState> paths;
  const int root = list.context()->install_dir;
  for (const Action* action = list.first(); action; action = action->next) {
    const char* path;
    Action::Change change = action->GetChange(&path);
    if (change == Action::Change::kNone) continue;
    bool exists;
    auto [it, first] = paths.try_emplace(FileKey(root, path, &exists));
    PathState& state = it->second;
    if (first) state.exists = exists;
    if (state.exists) {
      if (state.backed_up) {
        LOG("DoUpdate: a second backup of the path would replace the first: %s", path);
        return kParseError;
      }
      state.backed_up = true;
    }
    state.exists = change == Action::Change::kWrite;
  }
  return kOk;
}

// Appends the removals of the precomplete file (keywords remove, rmdir;
// remove-cc lines are ignored). An OS update has none. The list keeps the
// text alive.
int AddPreCompleteActions(ActionList* list) {
  if (list->context()->is_os_update) return kOk;
  int error;
  std::unique_ptr<char[]> owned = ReadPreComplete(
      list->context()->install_dir, list->planned().DiskName("precomplete").c_str(), &error);
  if (!owned && error == kOk && list->context()->report) {
    list->context()->report->Warn("precomplete", kNoPrecompleteWarning);
  }
  if (!owned) return error;
  // The actions point into the text from the moment they are appended.
  char* text = owned.get();
  list->AdoptText(std::move(owned));
  return ParseActionLines(text, ManifestSource::kPrecomplete, list);
}

// A directory that an adddir line makes is one the update leaves in place:
// the rmdir of the same directory (from the precomplete file of a complete
// update, which runs in the finish phase) is skipped.
void KeepAddedDirectories(const ActionList& list) {
  std::set<std::string> made;
  const int root = list.context()->install_dir;
  bool exists;
  for (const Action* action = list.first(); action; action = action->next) {
    if (auto* add = dynamic_cast<const AddDirAction*>(action))
      made.insert(FileKey(root, add->dir, &exists));
  }
  if (made.empty()) return;
  for (Action* action = list.first(); action; action = action->next) {
    auto* rmdir = dynamic_cast<RmdirAction*>(action);
    if (rmdir && made.count(FileKey(root, rmdir->dir, &exists))) rmdir->skip = 1;
  }
}

// rmrfdir "dir/": the directory by the path rules of every other line. Its
// text, once resolved, must name a directory beneath the installation: the
// installation itself ("/", "./") would read as a missing directory and the
// line would vanish without a trace.
int ParseRmrfdir(char** cursor, ActionList* list) {
  char* dir = get_valid_path(cursor, true);
  if (!dir) return kParseError;
  // The rules refused "..", so dots and slashes alone name the installation.
  if (dir[strspn(dir, "./")] == '\0') {
    LOG("DoUpdate: rmrfdir names the installation itself: %s/", dir);
    return kParseError;
  }
  return add_dir_entries((std::string(dir) + "/").c_str(), list);
}

}  // namespace

std::unique_ptr<Action> NewAction(const char* keyword, ManifestSource source) {
  for (const Keyword& k : kKeywords) {
    if (strcmp(keyword, k.name) != 0) continue;
    if (source == ManifestSource::kPrecomplete && !k.in_precomplete) return nullptr;
    return k.make();
  }
  return nullptr;
}

int ParseActionLines(char* text, ManifestSource source, ActionList* list) {
  const bool manifest = source == ManifestSource::kManifest;
  const char* who = manifest ? "DoUpdate" : "AddPreCompleteActions";
  bool firstLine = true;
  char* cursor = text;
  while (char* line = next_token(kLineDelimiters, &cursor)) {
    if (line[0] == '#') continue;
    char* keyword = next_token(kWordDelimiters, &line);
    if (!keyword) {
      LOG("%s: token not found in manifest", who);
      return kParseError;
    }
    int rv = 0;
    if (manifest && firstLine && !strcmp(keyword, "type")) {
      const char* type = next_token(kQuoteDelimiter, &line);
      LOG("UPDATE TYPE %s", type ? type : "");
      if (type && !strcmp(type, "complete")) rv = AddPreCompleteActions(list);
    } else if (manifest && !strcmp(keyword, "rmrfdir")) {
      rv = ParseRmrfdir(&line, list);
    } else if (!manifest && !strcmp(keyword, "remove-cc")) {
      continue;
    } else if (std::unique_ptr<Action> action = NewAction(keyword, source)) {
      rv = action->Parse(line);
      if (rv == 0) list->Append(std::move(action));
    } else {
      LOG("%s: unknown token: %s", who, keyword);
      return kParseError;
    }
    if (rv != 0) return rv;
    firstLine = false;
  }
  return kOk;
}

int ParseManifest(char* text, ActionList* list) {
  int rv = ParseActionLines(text, ManifestSource::kManifest, list);
  if (rv == kOk) KeepAddedDirectories(*list);
  return rv == kOk ? CheckDuplicatePaths(*list) : rv;
}

#include "actions/add_action.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "actions/check_report.h"
#include "actions/manifest.h"
#include "actions/planned_tree.h"
#include "actions/update_context.h"
#include "archive/archive_reader.h"
#include "base/paths.h"
#include "base/update_log.h"
#include "fileops/beneath.h"
#include "fileops/fileops.h"
#include "fileops/journal.h"

namespace {

// Length of the prefix of `path` that names its first missing directory, or 0
// when every directory above the last component exists.
size_t FirstMissingDirectory(int root, char* path) {
  for (char* slash = strchr(path, '/'); slash; slash = strchr(slash + 1, '/')) {
    *slash = '\0';
    struct stat st;
    bool missing = stat_beneath(root, path, &st, false) != 0;
    *slash = '/';
    if (missing) return static_cast<size_t>(slash - path);
  }
  return 0;
}

// The create record's directory field (FirstMissingDirectory's length) for a
// path free in the plan, as the directories stand when the action executes.
std::string PlannedCreate(const PlannedTree& planned, const char* path) {
  const std::string p(path);
  for (size_t slash = p.find('/'); slash != std::string::npos; slash = p.find('/', slash + 1))
    if (planned.Lookup(p.substr(0, slash)).kind == PlannedTree::Kind::kAbsent)
      return std::to_string(slash);
  return "0";
}

// Removes the directories above the last component of `path`, deepest first,
// down to the one whose path is `length` bytes long. rmdir removes only empty
// ones: whatever another action left in them stays.
void RemoveNewDirectories(int root, const char* path, size_t length) {
  std::string dir(path);
  for (size_t slash = dir.rfind('/'); slash != std::string::npos && slash >= length;
       slash = dir.rfind('/')) {
    dir.resize(slash);
    if (rmdir_beneath(root, dir.c_str()) != 0) return;
  }
}

}  // namespace

int AddAction::Parse(char* line) {
  path = get_valid_path(&line, false);
  return path ? kOk : kParseError;
}

int AddAction::Check() {
  LOG("PREPARE %s %s", LogName(), path);
  UpdateContext& run = context();
  if (GetEarlyEntry().name && !(run.archive && run.archive->HasEntry(path))) {
    return Refuse(kReadError, false, path, "no entry of this name in the archive: %s", path);
  }
  const PlannedTree::Node node = planned().Lookup(path);
  int rv = CheckReplaced(node.kind == PlannedTree::Kind::kDirectory);
  if (rv != kOk) return rv;
  std::string why;
  if (planned().CanWrite(path, &why) != kOk) {
    return Refuse(kWriteError, false, path, "cannot write %s: %s", path, why.c_str());
  }
  if (run.report) PlanWrite(node.kind != PlannedTree::Kind::kAbsent);
  planned_create_ = node.kind == PlannedTree::Kind::kAbsent ? PlannedCreate(planned(), path) : "";
  // A link's target is text: what it leads to is not known here.
  const bool link = !GetEarlyEntry().name;
  planned().Set(path, link ? PlannedTree::Kind::kLink : PlannedTree::Kind::kFile, link ? "" : path);
  return kOk;
}

void AddAction::PlanWrite(bool replacing) {
  UpdateContext& run = context();
  const DecodedEntry& entry = run.report->Entry(run.archive, path);
  // The run decodes it while executing.
  if (entry.error) Refuse(entry.error, true, path, "the entry cannot be decoded: %s", path);
  run.report->Writes(entry.size);
  Plan(Keyword(), path, "%s, %llu bytes", replacing ? "replaces the present file" : "new",
       static_cast<unsigned long long>(entry.size));
}

int AddAction::Stage() {
  // Decoding is most of the action's time: it weighs as its stored bytes.
  const int64_t stored = context().archive ? context().archive->StoredLength(path) : -1;
  if (stored > 0) {
    execute_work = static_cast<uint64_t>(stored);
    progress_cost = WorkCost(execute_work, kDecodeCostUnit);
  }
  // A path free in the plan is announced now: the flush that ends the
  // prepare phase puts the record on disk before any name it covers.
  int rv = planned_create_.empty()
               ? kOk
               : backups().journal.Add(kJournalCreate, {path, planned_create_.c_str()}, false);
  return rv == kOk ? backup_.Plan(backups(), path) : rv;
}

int AddAction::Execute() {
  LOG("EXECUTE %s %s", LogName(), path);
  // lstat, not access: a dangling link must be moved aside too, or the
  // extraction would create its target wherever it points.
  struct stat st;
  int rv = backup_make_way(backups(), path);
  if (rv != kOk) return rv;
  const bool replacing = stat_beneath(context().install_dir, path, &st, false) == 0;
  const struct stat old = st;
  if (replacing) {
    rv = CheckReplaced(S_ISDIR(st.st_mode));
    if (rv == kOk) rv = backup_.Create(backups(), path);
  } else {
    // Noted before creating anything, so that a rollback also removes the
    // directories of a creation that failed half-way.
    first_new_dir_ = FirstMissingDirectory(context().install_dir, path);
    // On disk before the name (a power loss may keep the name and lose
    // later records; recovery removes only what the journal names), unless
    // announced while preparing.
    if (planned_create_.empty())
      rv = backups().journal.Add(kJournalCreate, {path, std::to_string(first_new_dir_).c_str()},
                                 true);
    if (rv == kOk) rv = ensure_parent_dir(context().install_dir, path);
  }
  if (rv != kOk) return rv;
  rv = Install();
  // A replaced file keeps its owner; a new one gets its directory's.
  if (rv == kOk) inherit_owner(context().install_dir, path, replacing ? &old : nullptr);
  // The path was free, so whatever stands there now is this action's file,
  // complete or not.
  if (stat_beneath(context().install_dir, path, &st, false) == 0) {
    added = true;
    added_dev_ = st.st_dev;
    added_ino_ = st.st_ino;
  }
  return rv;
}

int AddAction::Install() {
  // A file decoded ahead is the one ExtractToFile would write: created by
  // creat with the entry's mode under the same umask.
  if (TakeEarlyEntry(path)) return kOk;
  // The path is free now: whatever appears there in the meantime, a link
  // above all, is not written through.
  BeneathPath dest(context().install_dir, path);
  StepMeter meter = Meter();
  int rv = dest.ok() ? context().archive->ExtractToFileAt(path, dest.dir(), dest.name(),
                                                          O_EXCL | O_NOFOLLOW, &meter)
                     : kWriteError;
  int err = errno;
  if (rv != kOk) LOG("EXECUTE ADD: unable to extract the file: %s, rv: %d, err: %d", path, rv, err);
  return rv;
}

Action::EarlyEntry AddAction::GetEarlyEntry() {
  EarlyEntry entry;
  entry.name = path;
  return entry;
}

void AddAction::Finish(int status) {
  LOG("FINISH %s %s", LogName(), path);
  if (status == 0) {
    backup_.Delete();
    return;
  }
  // Another action's rollback may have put an older file here already (one
  // that restores a backup it did not make itself): that one must stay.
  struct stat st;
  if (added && stat_beneath(context().install_dir, path, &st, false) == 0 &&
      st.st_dev == added_dev_ && st.st_ino == added_ino_) {
    remove_beneath(context().install_dir, path);
  }
  backup_.Restore(path);
  if (first_new_dir_ > 0) RemoveNewDirectories(context().install_dir, path, first_new_dir_);
}

int AddLinkAction::Parse(char* line) {
  path = get_valid_path(&line, false);
  if (!path || !next_token(kQuoteDelimiter, &line)) return kParseError;
  char* text = next_token(kQuoteDelimiter, &line);
  if (!text) return kParseError;
  // Formed into no buffer here, but every link the updater reads back is.
  if (strlen(text) >= kMaxPath) {
    LOG("addlink: link target too long: %s", text);
    return kParseError;
  }
  target = text;
  return kOk;
}

int AddLinkAction::CheckReplaced(bool directory) {
  if (!directory) return kOk;
  return Refuse(kUnexpectedType, false, path, "path present, but a directory: %s", path);
}

void AddLinkAction::PlanWrite(bool replacing) {
  Plan(Keyword(), path, "%s -> %s", replacing ? "replaces the present file" : "new", target);
}

int AddLinkAction::Install() {
  BeneathPath dest(context().install_dir, path);
  if (dest.ok() && symlinkat(target, dest.dir(), dest.name()) == 0) return kOk;
  int err = errno;
  LOG("EXECUTE ADDLINK: unable to create the link: %s, err: %d", path, err);
  return kWriteError;
}

int AddDirAction::Parse(char* line) {
  dir = get_valid_path(&line, true);
  if (!dir || !next_token(kQuoteDelimiter, &line)) return kParseError;
  const char* text = next_token(kQuoteDelimiter, &line);
  size_t digits = text ? strspn(text, "01234567") : 0;
  if (!text || digits == 0 || digits > 4 || text[digits] != '\0') {
    LOG("adddir: invalid mode: %s", text ? text : "");
    return kParseError;
  }
  mode = static_cast<mode_t>(strtoul(text, nullptr, 8));
  return kOk;
}

int AddDirAction::Check() {
  LOG("PREPARE ADDDIR %s/", dir);
  const PlannedTree::Node node = planned().Lookup(dir);
  std::string shown = std::string(dir) + "/", why;
  if (node.kind == PlannedTree::Kind::kDirectory) {
    Plan("adddir", shown.c_str(), "present, left as it is");
    return kOk;
  }
  if (node.kind != PlannedTree::Kind::kAbsent) {
    return Refuse(kUnexpectedType, false, dir, "path present, but not a directory: %s", dir);
  }
  if (planned().CanWrite(dir, &why) != kOk) {
    return Refuse(kWriteError, false, dir, "cannot make %s: %s", shown.c_str(), why.c_str());
  }
  Plan("adddir", shown.c_str(), "new, mode %04o", static_cast<unsigned>(mode));
  planned_create_ = PlannedCreate(planned(), dir);
  planned().Set(dir, PlannedTree::Kind::kDirectory);
  return kOk;
}

int AddDirAction::Stage() {
  return planned_create_.empty()
             ? kOk
             : backups().journal.Add(kJournalCreate, {dir, planned_create_.c_str()}, false);
}

int AddDirAction::Execute() {
  LOG("EXECUTE ADDDIR %s/", dir);
  struct stat st;
  if (stat_beneath(context().install_dir, dir, &st, false) == 0) {
    if (S_ISDIR(st.st_mode)) return kOk;
    LOG("path present, but not a directory: %s", dir);
    return kUnexpectedType;
  }
  first_new_dir_ = FirstMissingDirectory(context().install_dir, dir);
  int rv = planned_create_.empty()
               ? backups().journal.Add(kJournalCreate,
                                       {dir, std::to_string(first_new_dir_).c_str()}, true)
               : kOk;
  if (rv == kOk) rv = ensure_parent_dir(context().install_dir, dir);
  if (rv != kOk) return rv;
  // Made private and given its mode through the open directory: the umask
  // has no say, and nothing put in its place meanwhile is changed.
  int fd = -1;
  if (mkdir_beneath(context().install_dir, dir, 0700) == 0 &&
      stat_beneath(context().install_dir, dir, &st, false) == 0) {
    created_ = true;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    fd = open_beneath(context().install_dir, dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  }
  // The mode goes to the directory made here, not to one put in its place
  // between the mkdir and the open.
  struct stat opened;
  bool ok = fd >= 0 && fstat(fd, &opened) == 0 && opened.st_dev == dev_ && opened.st_ino == ino_ &&
            fchmod(fd, mode) == 0;
  int err = errno;
  if (fd >= 0) close(fd);
  if (ok) return kOk;
  LOG("EXECUTE ADDDIR: unable to create the directory: %s/, err: %d", dir, err);
  return kWriteError;
}

void AddDirAction::Finish(int status) {
  LOG("FINISH ADDDIR %s/", dir);
  if (status == 0) return;
  struct stat st;
  if (created_ && stat_beneath(context().install_dir, dir, &st, false) == 0 && st.st_dev == dev_ &&
      st.st_ino == ino_)
    rmdir_beneath(context().install_dir, dir);
  if (first_new_dir_ > 0) RemoveNewDirectories(context().install_dir, dir, first_new_dir_);
}

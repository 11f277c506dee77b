#include "driver/dry_run.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "actions/action.h"
#include "actions/add_action.h"
#include "actions/manifest_parser.h"
#include "actions/patch_action.h"
#include "actions/remove_action.h"
#include "archive/archive_reader.h"
#include "archive/qex.h"
#include "archive/qex_sign.h"
#include "base/error_codes.h"
#include "base/paths.h"
#include "base/run_settings.h"
#include "base/update_log.h"
#include "driver/recovery.h"
#include "driver/update_archive.h"
#include "driver/verify_update.h"
#include "patch/crc32.h"
#include "patch/patch_format.h"
#include "ui/progress_ui.h"

namespace {

constexpr char kUsage[] = "Usage: updater --check [--json] update-dir apply-to-dir\n";
constexpr uint64_t kSpaceMargin = 64 * 1024;

// What decoding one entry left: its size and its first bytes (a patch's
// header; the whole text of a manifest).
struct Decoded {
  uint64_t size = 0;
  std::string head;
  size_t keep = kPatchHeaderSize;
  bool manifest = false;  // decoding stops past kMaxManifestSize
  bool over = false;      // and did
};

ssize_t CountBytes(void* cookie, const char* data, size_t size) {
  Decoded* d = static_cast<Decoded*>(cookie);
  if (d->manifest && d->size + size > kMaxManifestSize) {
    d->over = true;
    return -1;
  }
  d->size += size;
  if (d->head.size() < d->keep) d->head.append(data, std::min(size, d->keep - d->head.size()));
  return static_cast<ssize_t>(size);
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[kMaxPath + 256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  return buf;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += Format("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The directory holding `path` ("." for a top-level name).
std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

class DryRun {
 public:
  DryRun(std::string archive, std::string apply_to)
      : archive_(std::move(archive)), apply_to_(std::move(apply_to)) {
    ForecastRecovery(apply_to_.c_str(), &recovery_);
  }
  ~DryRun() {
    if (fd_ >= 0) close(fd_);
  }
  DryRun(const DryRun&) = delete;
  DryRun& operator=(const DryRun&) = delete;

  // Runs the steps in order; the first that returns non-zero ends the check.
  void Run() {
    using Step = int (DryRun::*)();
    static constexpr Step kSteps[] = {
        &DryRun::CheckRecovery, &DryRun::ReadArchive,  &DryRun::CheckTrust,   &DryRun::OpenArchive,
        &DryRun::DecodeEntries, &DryRun::ReadManifest, &DryRun::CheckActions, &DryRun::CheckSpace};
    for (Step step : kSteps) {
      if ((this->*step)() != 0) break;
    }
    gArchiveReader.Close();
  }
  // The code the update would end with: the first failure of the prepare
  // phase (which stops the update before anything changes), else the first
  // of the execute phase.
  int Result() const {
    for (bool prepare : {true, false}) {
      for (const Problem& p : problems_) {
        if (p.in_prepare == prepare) return p.code;
      }
    }
    return 0;
  }
  void PrintText() const;
  void PrintJson() const;

 private:
  struct Problem {
    int code;
    bool in_prepare;
    std::string path, message;
  };
  struct Planned {
    std::string action, path, outcome;
  };

  int Fail(int code, bool in_prepare, const std::string& path, const std::string& message) {
    problems_.push_back({code, in_prepare, path, message});
    return code;
  }
  void Plan(const char* action, const std::string& path, const std::string& outcome) {
    planned_.push_back({action, path, outcome});
  }

  int CheckRecovery();
  int ReadArchive();
  int OpenArchive();
  int CheckTrust();
  int DecodeEntries();
  int ReadManifest();
  int CheckActions();
  int CheckSpace();

  bool CheckEntry(const char* name, bool in_prepare);
  bool CheckWritable(const std::string& path);
  void CheckAdd(AddAction* add, const char* kind);
  void CheckPatch(PatchAction* patch, const char* kind);
  void CheckLink(AddLinkAction* link);
  void CheckDir(AddDirAction* made);
  void CheckRemoval(bool file, const char* kind, const std::string& path, int rv, bool skip);
  // A file of `size` bytes that the update writes.
  void Need(uint64_t size) { files_.push_back(size); }
  // The name under which the run finds the file of `path` once recovery has
  // undone an interrupted run: its backup, or "" when recovery removes it.
  std::string Through(const std::string& path) const {
    auto it = recovery_.through.find(path);
    return it == recovery_.through.end() ? path : it->second;
  }
  bool Exists(const std::string& path, struct stat* st) const {
    std::string at = Through(path);
    return !removed_.count(path) && !at.empty() && lstat(at.c_str(), st) == 0;
  }

  const std::string archive_, apply_to_;
  RecoveryForecast recovery_;
  // Recovery finishes a run of this same archive: nothing is left to apply.
  bool applied_ = false;
  // The archive, opened once as the update opens it; every step reads it.
  int fd_ = -1;
  std::map<std::string, Decoded> entries_;
  std::unique_ptr<char[]> manifest_;
  ActionList list_;
  // Paths that earlier actions remove or write, as later ones would find them.
  std::set<std::string> removed_, written_;
  std::vector<uint64_t> files_;
  uint64_t decoded_bytes_ = 0, needed_ = 0, available_ = 0;
  std::vector<Planned> planned_;
  std::vector<Problem> problems_;
};

// The recovery every run makes first, as RecoverInstallation would make it.
int DryRun::CheckRecovery() {
  const std::string journal = apply_to_ + "/updating.journal";
  if (recovery_.refused)
    return Fail(recovery_.refused, true, journal,
                "recovery refuses the journal: " + recovery_.reason);
  std::string identity;
  if (recovery_.committed) {
    // The archive that the identity is taken from is the one read from here on.
    applied_ = OpenUpdateArchive(archive_.c_str(), &fd_) == kOk &&
               qex_file_sha256(fd_, &identity) && identity == recovery_.identity;
    Plan("recover", journal,
         applied_ ? "the interrupted run had already applied this update"
                  : "finishes an interrupted run first");
  } else if (!recovery_.through.empty()) {
    Plan("recover", journal, "undoes an interrupted run first");
  }
  return 0;
}

int DryRun::ReadArchive() {
  if (fd_ >= 0) return 0;
  int rv = OpenUpdateArchive(archive_.c_str(), &fd_);
  return rv ? Fail(rv, true, archive_, "cannot open the archive, or it is not a regular file") : 0;
}

int DryRun::OpenArchive() {
  int rv = gArchiveReader.OpenDescriptor(fd_);
  return rv ? Fail(rv, true, archive_, "cannot open the archive") : 0;
}

// The signature, channel and version checks the update makes before it
// changes anything, first as there (they open and close the archive reader).
int DryRun::CheckTrust() {
  int rv = CheckUpdateTrust(archive_.c_str(), fd_);
  if (rv == 0) return 0;
  const char* why;
  switch (rv) {
    case kUnverifiedArchive:
      why = "no signature verifies with a trusted key";
      break;
    case kKeysFileError:
      why = "the keys file beside the updater holds no usable key";
      break;
    case kInstalledVersionError:
      why = "the installed version record cannot be read";
      break;
    case kChannelError:
      why = "the archive's channel is not accepted";
      break;
    case kVersionError:
      why = "the archive is older than the installed version";
      break;
    default:
      why = "the archive cannot be read";
      break;
  }
  return Fail(rv, true, archive_, why);
}

int DryRun::DecodeEntries() {
  QexArchive* archive = qex_open_fd(fd_);
  if (!archive) return Fail(kReadError, true, archive_, "cannot read the archive's index");
  std::vector<std::string> names;
  qex_for_each_entry(
      archive,
      [](QexArchive*, QexEntry* e, void* out) {
        static_cast<std::vector<std::string>*>(out)->push_back(e->name);
        return 0;
      },
      &names);
  qex_close(archive);
  for (const std::string& name : names) {
    Decoded& d = entries_[name];
    d = Decoded();
    if (name == "updatev3.manifest" || name == "updatev2.manifest") {
      d.keep = SIZE_MAX;
      d.manifest = true;
    }
    cookie_io_functions_t io = {nullptr, CountBytes, nullptr, nullptr};
    FILE* sink = fopencookie(&d, "w", io);
    if (!sink) return Fail(kArchiveNoMemory, true, name, "no memory to decode the entry");
    int rv = gArchiveReader.ExtractToStream(name.c_str(), sink);
    fclose(sink);
    if (d.over) {
      return Fail(kParseError, true, name,
                  Format("the manifest is larger than %zu bytes", kMaxManifestSize));
    }
    if (rv != 0) return Fail(rv, true, name, "the entry cannot be decoded");
    decoded_bytes_ += d.size;
  }
  return 0;
}

int DryRun::ReadManifest() {
  auto it = entries_.find("updatev3.manifest");
  if (it == entries_.end()) it = entries_.find("updatev2.manifest");
  if (it == entries_.end()) return Fail(kReadError, true, archive_, "no manifest entry");
  const std::string& text = it->second.head;
  Need(text.size());
  auto copy = [&text]() {
    std::unique_ptr<char[]> buf(new char[text.size() + 1]);
    memcpy(buf.get(), text.data(), text.size() + 1);
    return buf;
  };
  manifest_ = copy();
  int rv = ParseManifest(manifest_.get(), &list_);
  if (rv != 0) {
    // Once more with the log on standard error, for the reason.
    std::unique_ptr<char[]> again = copy();
    ActionList scratch;
    UpdateLog::Instance().Open("/dev", "stderr", nullptr, true);
    ParseManifest(again.get(), &scratch);
    UpdateLog::Instance().Close();
    return Fail(rv, true, it->first, "the manifest cannot be parsed (the reason is above)");
  }
  return 0;
}

bool DryRun::CheckEntry(const char* name, bool in_prepare) {
  if (entries_.count(name)) return true;
  Fail(kReadError, in_prepare, name, "no entry of this name in the archive");
  return false;
}

// Whether the update can put a file at `path`: move the present one aside, or
// create the missing directories leading to it.
bool DryRun::CheckWritable(const std::string& path) {
  struct stat st;
  std::string dir = Parent(path);
  if (!Exists(path, &st)) {
    while (dir != "." && !Exists(dir, &st)) dir = Parent(dir);
    if (dir != "." && stat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      Fail(kWriteError, false, path, dir + " is not a directory");
      return false;
    }
  }
  if (access(dir.c_str(), W_OK) != 0) {
    Fail(kWriteError, false, path, Format("cannot write in %s: %s", dir.c_str(), strerror(errno)));
    return false;
  }
  return true;
}

void DryRun::CheckAdd(AddAction* add, const char* kind) {
  if (!CheckEntry(add->path, false)) return;
  struct stat st;
  bool present = Exists(add->path, &st);
  if (!CheckWritable(add->path)) return;
  uint64_t size = entries_[add->path].size;
  Need(size);
  written_.insert(add->path);
  removed_.erase(add->path);
  Plan(kind, add->path,
       Format("%s, %llu bytes", present ? "replaces the present file" : "new",
              static_cast<unsigned long long>(size)));
}

void DryRun::CheckPatch(PatchAction* patch, const char* kind) {
  const std::string target = patch->target_path;
  if (!CheckEntry(patch->entry_name, true)) return;
  // The checks of read_patch_header, on the decoded size and first bytes.
  const Decoded& entry = entries_[patch->entry_name];
  if (entry.head.size() < kPatchHeaderSize) {
    Fail(kReadError, false, target, std::string(patch->entry_name) + " is too short for a patch");
    return;
  }
  const PatchHeader h = patch->header =
      decode_patch_header(reinterpret_cast<const unsigned char*>(entry.head.data()));
  if (memcmp(h.tag, kPatchTag, kPatchTagSize) != 0 ||
      entry.size !=
          uint64_t{kPatchHeaderSize} + h.control_length + h.diff_length + h.extra_length ||
      h.control_length == 0 || h.control_length % kControlTripleSize != 0) {
    Fail(kCorruptPatch, false, target, std::string(patch->entry_name) + " is not a valid patch");
    return;
  }
  Need(entry.size);  // the patch file in "updating"
  Need(h.dest_length);
  if (written_.count(target)) {
    // The file an earlier line writes; its bytes are not on the disk yet.
    Plan(kind, target, "patches the file an earlier line writes (not checked)");
    return;
  }
  if (removed_.count(target)) {
    Fail(kReadError, false, target, "an earlier line removes the file to patch");
    return;
  }
  // Never blocking on a FIFO in the file's place; once recovery has undone
  // an interrupted run, the file is the one now under its backup name.
  const std::string at = Through(target);
  int fd = at.empty() ? -1 : open(at.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (at.empty()) errno = ENOENT;
  FILE* fp = fd >= 0 ? fdopen(fd, "rb") : nullptr;
  if (!fp) {
    Fail(kReadError, false, target, Format("cannot open the file to patch: %s", strerror(errno)));
    if (fd >= 0) close(fd);
    return;
  }
  struct stat st;
  if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
    fclose(fp);
    Fail(kUnexpectedType, false, target, "the file to patch is not a regular file");
    return;
  }
  int rv = patch->LoadSourceFile(fp);
  fclose(fp);
  if (rv == kUnexpectedType) {
    Fail(rv, false, target,
         Format("is %lld bytes, the patch expects %u", static_cast<long long>(st.st_size),
                h.source_length));
  } else if (rv == kCrcError) {
    Fail(rv, false, target,
         Format("has CRC 0x%08x, the patch expects 0x%08x",
                crc32_bzip2(patch->source_data.get(), h.source_length), h.source_crc));
  } else if (rv != 0) {
    Fail(rv, false, target, "cannot read the file to patch");
  }
  patch->source_data.reset();
  if (rv != 0 || !CheckWritable(target)) return;
  written_.insert(target);
  Plan(kind, target,
       Format("%u -> %u bytes, CRC 0x%08x matches", h.source_length, h.dest_length, h.source_crc));
}

void DryRun::CheckLink(AddLinkAction* link) {
  struct stat st;
  bool present = Exists(link->path, &st);
  if (present && S_ISDIR(st.st_mode)) {
    Fail(kUnexpectedType, false, link->path, "present, but a directory");
    return;
  }
  if (!CheckWritable(link->path)) return;
  written_.insert(link->path);
  removed_.erase(link->path);
  Plan("addlink", link->path,
       Format("%s -> %s", present ? "replaces the present file" : "new", link->target));
}

void DryRun::CheckDir(AddDirAction* made) {
  const std::string dir = made->dir;
  struct stat st;
  if (Exists(dir, &st) && !S_ISDIR(st.st_mode)) {
    Fail(kUnexpectedType, false, dir, "present, but not a directory");
  } else if (Exists(dir, &st)) {
    Plan("adddir", dir + "/", "present, left as it is");
  } else if (CheckWritable(dir)) {
    Plan("adddir", dir + "/", Format("new, mode %04o", static_cast<unsigned>(made->mode)));
  }
}

void DryRun::CheckRemoval(bool file, const char* kind, const std::string& path, int rv, bool skip) {
  if (rv == kUnexpectedType) {
    Fail(rv, true, path, Format("present, but not a %s", file ? "file" : "directory"));
  } else if (rv == kWriteError) {
    Fail(rv, true, path, "the directory holding it is not writable");
  } else if (rv != 0) {
    Fail(rv, true, path, Format("cannot be examined: %s", strerror(errno)));
  } else if (skip) {
    Plan(kind, path, "absent, nothing to do");
  } else {
    Plan(kind, path, file ? "removed" : "removed once empty");
  }
}

int DryRun::CheckActions() {
  if (applied_) return 0;
  if (!list_.first()) return Fail(kEmptyError, true, archive_, "the manifest holds no action");
  for (Action* a = list_.first(); a; a = a->next) {
    // Conditions are tested as the prepare phase does: before anything changes.
    if (auto* p = dynamic_cast<PatchIfAction*>(a)) {
      struct stat st;
      if (Exists(p->test_path, &st)) {
        CheckPatch(p, "patch-if");
      } else {
        Plan("skip", p->target_path, std::string("patch-if: ") + p->test_path + " is absent");
      }
    } else if (auto* p = dynamic_cast<PatchAction*>(a)) {
      CheckPatch(p, "patch");
    } else if (auto* c = dynamic_cast<ConditionalAddAction*>(a)) {
      const bool if_present = dynamic_cast<AddIfAction*>(a) != nullptr;
      const std::string test = c->test_path;
      c->Prepare();  // logs only; clears test_path when the condition fails
      const char* kind = if_present ? "add-if" : "add-if-not";
      if (c->test_path) {
        CheckAdd(c, kind);
      } else {
        Plan("skip", c->path,
             std::string(kind) + ": " + test + (if_present ? " is absent" : " is present"));
      }
    } else if (auto* link = dynamic_cast<AddLinkAction*>(a)) {
      CheckLink(link);
    } else if (auto* add = dynamic_cast<AddAction*>(a)) {
      CheckAdd(add, "add");
    } else if (auto* made = dynamic_cast<AddDirAction*>(a)) {
      CheckDir(made);
    } else if (auto* r = dynamic_cast<RemoveAction*>(a)) {
      int rv = r->Prepare();  // examines only
      CheckRemoval(true, "remove", r->path, rv, r->skip);
      if (rv == 0 && !r->skip) {
        removed_.insert(r->path);
        written_.erase(r->path);
      }
    } else if (auto* d = dynamic_cast<RmdirAction*>(a)) {
      if (d->skip) {
        Plan("rmdir", std::string(d->dir) + "/", "kept: an adddir line makes it");
        continue;
      }
      int rv = d->Prepare();
      CheckRemoval(false, "rmdir", std::string(d->dir) + "/", rv, d->skip);
    }
  }
  return 0;
}

int DryRun::CheckSpace() {
  struct statvfs fs;
  if (statvfs(".", &fs) != 0) return Fail(kReadError, false, apply_to_, strerror(errno));
  available_ = static_cast<uint64_t>(geteuid() == 0 ? fs.f_bfree : fs.f_bavail) * fs.f_frsize;
  // Whole blocks for every file, and some room for the directories the
  // update creates and the log: an estimate that errs on the safe side.
  const uint64_t block = fs.f_frsize ? fs.f_frsize : 4096;
  needed_ = kSpaceMargin;
  for (uint64_t size : files_) needed_ += (size + block - 1) / block * block;
  if (needed_ > available_) {
    Fail(kWriteError, false, apply_to_,
         Format("the update needs about %llu bytes, %llu are free",
                static_cast<unsigned long long>(needed_),
                static_cast<unsigned long long>(available_)));
  }
  return 0;
}

void DryRun::PrintText() const {
  printf("checking %s against %s\n", archive_.c_str(), apply_to_.c_str());
  for (const Planned& p : planned_) {
    printf("%-10s %s (%s)\n", p.action.c_str(), p.path.c_str(), p.outcome.c_str());
  }
  if (available_) {
    printf("space: needs about %llu bytes, %llu free\n", static_cast<unsigned long long>(needed_),
           static_cast<unsigned long long>(available_));
  }
  for (const Problem& p : problems_) {
    printf("problem: %d: %s: %s\n", p.code, p.path.c_str(), p.message.c_str());
  }
  int rv = Result();
  if (rv == 0) {
    printf("the update would succeed\n");
  } else {
    printf("the update would fail: %d\n", rv);
  }
}

void DryRun::PrintJson() const {
  std::map<std::string, int> counts;
  for (const Planned& p : planned_) counts[p.action]++;
  std::string out = "{\"archive\": " + Json(archive_) + ", \"apply_to\": " + Json(apply_to_) +
                    ", \"would_succeed\": " + (Result() == 0 ? "true" : "false") +
                    ", \"result\": " + std::to_string(Result()) +
                    ", \"entries\": " + std::to_string(entries_.size()) +
                    ", \"decoded_bytes\": " + std::to_string(decoded_bytes_) +
                    ", \"space\": {\"needed\": " + std::to_string(needed_) +
                    ", \"available\": " + std::to_string(available_) + "}, \"counts\": {";
  const char* sep = "";
  for (const auto& [action, n] : counts) {
    out += sep + Json(action) + ": " + std::to_string(n);
    sep = ", ";
  }
  out += "},\n \"actions\": [";
  sep = "";
  for (const Planned& p : planned_) {
    out += std::string(sep) + "\n  {\"action\": " + Json(p.action) + ", \"path\": " + Json(p.path) +
           ", \"outcome\": " + Json(p.outcome) + "}";
    sep = ",";
  }
  out += "],\n \"problems\": [";
  sep = "";
  for (const Problem& p : problems_) {
    out += std::string(sep) + "\n  {\"code\": " + std::to_string(p.code) +
           ", \"phase\": " + (p.in_prepare ? "\"prepare\"" : "\"execute\"") +
           ", \"path\": " + Json(p.path) + ", \"message\": " + Json(p.message) + "}";
    sep = ",";
  }
  out += "]}\n";
  fputs(out.c_str(), stdout);
}

}  // namespace

bool WantsDryRun(int argc, char** argv) { return argc > 1 && strcmp(argv[1], "--check") == 0; }

int RunDryRun(int argc, char** argv) {
  // The keys and settings beside the program.
  SetProgramPath();
  bool json = false;
  std::vector<const char*> dirs;
  for (int i = 2; i < argc; i++) {
    if (strcmp(argv[i], "--json") == 0) {
      json = true;
    } else {
      dirs.push_back(argv[i]);
    }
  }
  if (dirs.size() != 2) {
    fputs(kUsage, stderr);
    return 1;
  }
  char* update = realpath(dirs[0], nullptr);
  if (!update) {
    fprintf(stderr, "updater: cannot check %s: %s\n", dirs[0], strerror(errno));
    return 1;
  }
  std::string archive = std::string(update) + "/update.qex";
  free(update);
  // The paths of the manifest are relative to the apply-to directory, and
  // its path rules look at where links there lead.
  char* apply_to = realpath(dirs[1], nullptr);
  if (!apply_to || chdir(apply_to) != 0) {
    fprintf(stderr, "updater: cannot check against %s: %s\n", dirs[1], strerror(errno));
    free(apply_to);
    return 1;
  }
  snprintf(applyToDir, sizeof(applyToDir), "%s", apply_to);
  free(apply_to);
  isOsUpdate = getenv("QUIL_OS_UPDATE") != nullptr;

  DryRun run(archive, applyToDir);
  run.Run();
  if (json) {
    run.PrintJson();
  } else {
    run.PrintText();
  }
  return run.Result() == 0 ? 0 : 1;
}

#include "driver/dry_run.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
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
#include "actions/check_report.h"
#include "actions/manifest_parser.h"
#include "actions/planned_tree.h"
#include "actions/update_context.h"
#include "archive/archive_reader.h"
#include "archive/qex.h"
#include "archive/qex_sign.h"
#include "base/error_codes.h"
#include "base/json.h"
#include "base/paths.h"
#include "base/update_log.h"
#include "driver/recovery.h"
#include "driver/run.h"
#include "driver/update_archive.h"
#include "driver/verify_update.h"
#include "driver/work_dir.h"
#include "ui/program_path.h"

namespace {

constexpr uint64_t kSpaceMargin = 64 * 1024;

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[kMaxPath + 256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  return buf;
}

// The steps of the run before its worker starts, each as the run makes it,
// then the actions' own checks through the run's parser and list.
class DryRun {
 public:
  DryRun(std::string archive, std::string apply_to, const TrustSource& source, bool is_os_update)
      : archive_(std::move(archive)), apply_to_(std::move(apply_to)), source_(source) {
    context_.is_os_update = is_os_update;
    ForecastRecovery(apply_to_.c_str(), &recovery_);
    list_.planned().Redirect(recovery_.through);
  }
  ~DryRun() {
    reader_.Close();
    if (fd_ >= 0) close(fd_);
    if (!stand_in_.empty()) rmdir(stand_in_.c_str());
  }
  DryRun(const DryRun&) = delete;
  DryRun& operator=(const DryRun&) = delete;

  // Runs the steps in order; the first that fails ends the check.
  void Run() {
    int (DryRun::*const steps[])() = {
        &DryRun::CheckRecovery, &DryRun::ReadArchive,  &DryRun::CheckTrust,
        &DryRun::EnterApplyTo,  &DryRun::OpenArchive,  &DryRun::CheckWorkDir,
        &DryRun::ReadManifest,  &DryRun::CheckActions, &DryRun::CheckSpace};
    for (auto step : steps) {
      if ((this->*step)() != 0) break;
    }
  }
  int Result() const { return report_.Result(); }
  void PrintText() const;
  // False after a message on standard error when the report cannot be written.
  bool PrintJson() const;

 private:
  int Fail(int code, const std::string& path, const std::string& message) {
    return report_.Fail(code, true, path, message);
  }

  int CheckRecovery();
  int ReadArchive();
  int OpenArchive();
  int CheckWorkDir();
  int CheckTrust();
  int EnterApplyTo();
  int ReadManifest();
  int CheckActions();
  int CheckSpace();

  const std::string archive_, apply_to_;
  // Where the keys and settings come from, and what the checks found.
  const TrustSource source_;
  TrustReport trust_;
  RecoveryForecast recovery_;
  // The empty directory standing in for a missing apply-to directory;
  // removed when the check ends.
  std::string stand_in_;
  std::string space_dir_ = ".";  // where the run's files will take space
  // Recovery finishes a run of this same archive: nothing is left to apply.
  bool applied_ = false;
  // The archive, opened once as the update opens it; every step reads it.
  int fd_ = -1;
  ArchiveReader reader_;
  CheckReport report_;
  UpdateContext context_;
  std::unique_ptr<char[]> manifest_, parsed_;
  ActionList list_;
  uint64_t needed_ = 0, available_ = 0;
};

// The recovery every run makes first, as RecoverInstallation would make it.
int DryRun::CheckRecovery() {
  const std::string journal = apply_to_ + "/updating.journal";
  if (recovery_.refused) {
    return Fail(recovery_.refused, journal, "recovery refuses the journal: " + recovery_.reason);
  }
  std::string identity;
  if (recovery_.committed) {
    // The archive that the identity is taken from is the one read from here on.
    applied_ = OpenUpdateArchive(archive_.c_str(), &fd_) == kOk &&
               qex_file_sha256(fd_, &identity) && identity == recovery_.identity;
    report_.Plan("recover", journal,
                 applied_ ? "the interrupted run had already applied this update"
                          : "finishes an interrupted run first");
  } else if (!recovery_.through.empty()) {
    report_.Plan("recover", journal, "undoes an interrupted run first");
  }
  return 0;
}

int DryRun::ReadArchive() {
  if (fd_ >= 0) return 0;
  int rv = OpenUpdateArchive(archive_.c_str(), &fd_);
  return rv ? Fail(rv, archive_, "cannot open the archive, or it is not a regular file") : 0;
}

int DryRun::OpenArchive() {
  int rv = reader_.OpenDescriptor(fd_);
  return rv ? Fail(rv, archive_, "cannot open the archive") : 0;
}

// The work directory as MakeWorkDir would judge it.
int DryRun::CheckWorkDir() {
  int rv = ::CheckWorkDir(AT_FDCWD);
  return rv ? Fail(rv, apply_to_ + "/updating", "the run cannot make its work directory here") : 0;
}

// The signature, channel and version checks the update makes before it
// changes anything.
int DryRun::CheckTrust() {
  int rv = CheckUpdateTrust(apply_to_.c_str(), archive_.c_str(), fd_, source_, &trust_);
  if (rv == 0) return 0;
  const char* why;
  switch (rv) {
    case kUnverifiedArchive:
      why = "no signature verifies with a trusted key";
      break;
    case kKeysFileError:
      why = source_.system_dir
                ? "the application has no trusted configuration, or its keys file no usable key"
                : "the keys file beside the updater holds no usable key";
      break;
    case kApplicationMismatch:
      why = "the archive belongs to another application than the installation";
      break;
    case kProductInfoError:
      why = "the archive has no readable product information";
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
  return Fail(rv, archive_, why);
}

// The apply-to directory, entered as the run enters it after the trust
// checks. A missing one the run's lock makes, empty, when its parent is a
// directory it may write in; the check then enters an empty private
// directory of its own in the temporary directory instead, so that every later
// step asks the same questions of an empty installation without anything made
// beside the installation. The free space is still that of the parent's file
// system.
int DryRun::EnterApplyTo() {
  if (chdir(apply_to_.c_str()) == 0) return 0;
  int err = errno;
  struct stat st;
  if (lstat(apply_to_.c_str(), &st) != 0 && errno == ENOENT) {
    const size_t slash = apply_to_.rfind('/');
    std::string parent = slash == std::string::npos ? "." : apply_to_.substr(0, slash);
    if (parent.empty()) parent = "/";
    if (stat(parent.c_str(), &st) != 0) {
      err = errno;
    } else if (!S_ISDIR(st.st_mode)) {
      err = ENOTDIR;
    } else if (faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
      err = errno;
    } else {
      const char* tmp = getenv("TMPDIR");
      std::string stand_in = std::string(tmp && *tmp ? tmp : "/tmp") + "/updater-check-XXXXXX";
      if (mkdtemp(&stand_in[0])) {
        stand_in_ = stand_in;  // removed when the check ends
        if (chdir(stand_in.c_str()) == 0) {
          space_dir_ = parent;
          report_.Plan("create", apply_to_, "the run makes the apply-to directory");
          return 0;
        }
      }
      err = errno;
    }
  }
  return Fail(kWriteError, apply_to_,
              Format("the run cannot enter or create the apply-to directory: %s", strerror(err)));
}

// The manifest as the run extracts it (into memory here) and parses it.
int DryRun::ReadManifest() {
  int fd = memfd_create("update.manifest", MFD_CLOEXEC);
  if (fd < 0) return Fail(kWriteError, archive_, "no memory for the manifest");
  int rv = ExtractManifestTo(&reader_, fd, &manifest_);
  close(fd);
  if (rv == kParseError) {
    return Fail(rv, archive_, Format("the manifest is larger than %zu bytes", kMaxManifestSize));
  }
  if (rv != kOk) return Fail(rv, archive_, "the manifest cannot be extracted");
  report_.Writes(strlen(manifest_.get()));
  context_.archive = &reader_;
  context_.report = &report_;
  list_.SetContext(&context_);
  // The copy the parser tokenises; the list's actions point into it.
  parsed_.reset(new char[strlen(manifest_.get()) + 1]);
  strcpy(parsed_.get(), manifest_.get());
  rv = ParseManifest(parsed_.get(), &list_);
  if (rv != 0) {
    // Once more with the log on standard error, for the reason.
    ActionList scratch;
    scratch.SetContext(&context_);
    scratch.planned().Redirect(recovery_.through);
    UpdateLog::Instance().OpenStandardError();
    ParseManifest(manifest_.get(), &scratch);
    UpdateLog::Instance().Close();
    return Fail(rv, archive_, "the manifest cannot be parsed (the reason is above)");
  }
  return 0;
}

int DryRun::CheckActions() {
  if (applied_) return 0;
  if (!list_.first()) return Fail(kEmptyError, archive_, "the manifest holds no action");
  list_.CheckAll();
  return 0;
}

int DryRun::CheckSpace() {
  struct statvfs fs;
  if (statvfs(space_dir_.c_str(), &fs) != 0)
    return report_.Fail(kReadError, false, apply_to_, strerror(errno));
  available_ = static_cast<uint64_t>(geteuid() == 0 ? fs.f_bfree : fs.f_bavail) * fs.f_frsize;
  // Whole blocks for every file, and some room for the directories the
  // update creates and the log: an estimate that errs on the safe side.
  const uint64_t block = fs.f_frsize ? fs.f_frsize : 4096;
  needed_ = kSpaceMargin;
  for (uint64_t size : report_.written) needed_ += (size + block - 1) / block * block;
  if (needed_ > available_) {
    report_.Fail(kWriteError, false, apply_to_,
                 Format("the update needs about %llu bytes, %llu are free",
                        static_cast<unsigned long long>(needed_),
                        static_cast<unsigned long long>(available_)));
  }
  return 0;
}

// "" as "(none)" for the text report, as null for JSON.
const char* TextOf(const std::string& s) { return s.empty() ? "(none)" : s.c_str(); }
JsonValue JsonOf(const std::string& s) { return s.empty() ? JsonValue() : JsonValue(s); }

void DryRun::PrintText() const {
  printf("checking %s against %s\n", archive_.c_str(), apply_to_.c_str());
  if (trust_.verified) {
    printf("signature: verified with key %d of %s\n", trust_.key, trust_.keys_file.c_str());
  } else {
    printf("signature: not verified\n");
  }
  printf("application: %s (installed: %s)\n", TextOf(trust_.app_id),
         TextOf(trust_.installed_app_id));
  printf("channel: %s\nversion: %s (installed: %s)\n", TextOf(trust_.channel),
         TextOf(trust_.version), TextOf(trust_.installed_version));
  for (const CheckReport::Planned& p : report_.planned) {
    printf("%-10s %s (%s)\n", p.action.c_str(), p.path.c_str(), p.outcome.c_str());
  }
  if (available_) {
    printf("space: needs about %llu bytes, %llu free\n", static_cast<unsigned long long>(needed_),
           static_cast<unsigned long long>(available_));
  }
  for (const CheckReport::Warning& w : report_.warnings) {
    printf("warning: %s: %s\n", w.path.c_str(), w.message.c_str());
  }
  for (const CheckReport::Problem& p : report_.problems) {
    printf("problem: %d: %s: %s\n", p.code, p.path.c_str(), p.message.c_str());
  }
  int rv = Result();
  if (rv == 0) {
    printf("the update would succeed\n");
  } else {
    printf("the update would fail: %d\n", rv);
  }
}

bool DryRun::PrintJson() const {
  std::map<std::string, int> counts;
  JsonValue actions = JsonValue::array(), problems = JsonValue::array(),
            warnings = JsonValue::array();
  for (const CheckReport::Warning& w : report_.warnings) {
    warnings.push_back({{"path", w.path}, {"message", w.message}});
  }
  for (const CheckReport::Planned& p : report_.planned) {
    counts[p.action]++;
    actions.push_back({{"action", p.action}, {"path", p.path}, {"outcome", p.outcome}});
  }
  for (const CheckReport::Problem& p : report_.problems) {
    problems.push_back({{"code", p.code},
                        {"phase", p.in_prepare ? "prepare" : "execute"},
                        {"path", p.path},
                        {"message", p.message}});
  }
  const JsonValue report = {{"archive", archive_},
                            {"apply_to", apply_to_},
                            {"would_succeed", Result() == 0},
                            {"result", Result()},
                            {"mode", source_.system_dir ? "packaged" : "embedded"},
                            {"signature",
                             {{"verified", trust_.verified},
                              {"key", trust_.key ? JsonValue(trust_.key) : JsonValue()},
                              {"keys_file", JsonOf(trust_.keys_file)}}},
                            {"settings_file", JsonOf(trust_.settings)},
                            {"app_id", JsonOf(trust_.app_id)},
                            {"channel", JsonOf(trust_.channel)},
                            {"version", JsonOf(trust_.version)},
                            {"installed",
                             {{"app_id", JsonOf(trust_.installed_app_id)},
                              {"version", JsonOf(trust_.installed_version)}}},
                            {"entries", report_.entries.size()},
                            {"decoded_bytes", report_.decoded_bytes},
                            {"space", {{"needed", needed_}, {"available", available_}}},
                            {"counts", counts},
                            {"actions", actions},
                            {"warnings", warnings},
                            {"problems", problems}};
  std::string text;
  if (!JsonText(report, &text)) {
    fprintf(stderr, "updater: cannot write the report as JSON\n");
    return false;
  }
  return fputs(text.c_str(), stdout) >= 0;
}

}  // namespace

int RunDryRun(const Run& run) {
  std::string archive = std::string(run.updateDir) + "/update.qex";
  DryRun check(archive, run.applyToDir, TrustSource{&run.programPath, run.systemConfigDir},
               run.isOsUpdate);
  check.Run();
  if (!run.json) {
    check.PrintText();
  } else if (!check.PrintJson()) {
    return 1;
  }
  return check.Result() == 0 ? 0 : 1;
}

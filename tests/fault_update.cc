#include "tests/fault_update.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "archive/archive_test_util.h"
#include "patch/patch_test_util.h"
#include "testing/test_util.h"

namespace fault_testing {
namespace {

using testing_util::ReadFile;
using testing_util::WriteFile;

constexpr char kBackupSuffix[] = ".quil-backup";
// Sanitizer reports must not pass for the exit codes the updater uses.
constexpr char kSanitizerOptions[] = "exitcode=86:halt_on_error=1:verify_asan_link_order=0";

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A snapshot description ("type mode rest", mode in octal) with the owner
// write bit added to the mode.
std::string WithOwnerWrite(const std::string& desc) {
  size_t sp = desc.find(' ');
  size_t sp2 = sp == std::string::npos ? sp : desc.find(' ', sp + 1);
  if (sp2 == std::string::npos) return desc;
  unsigned long mode = strtoul(desc.substr(sp + 1, sp2 - sp - 1).c_str(), nullptr, 8);
  char buf[32];
  snprintf(buf, sizeof(buf), "%04lo", mode | 0200);
  return desc.substr(0, sp + 1) + buf + desc.substr(sp2);
}

void PutEnv(const std::string& entry) {
  size_t eq = entry.find('=');
  if (eq == std::string::npos) {
    unsetenv(entry.c_str());
  } else {
    setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
  }
}

}  // namespace

RunOutcome RunUpdater(const std::string& binary, const std::vector<std::string>& args,
                      const RunOptions& options) {
  testing_util::ScopedTempDir errdir;
  const std::string errpath = errdir.Sub("stderr");
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, 2);
    for (const char* v : {"DISPLAY", "QUIL_OS_UPDATE", "QUIL_PROCESS_UPDATES",
                          "QUIL_NO_REPLACE_FALLBACK", "QUIL_LAUNCHED_CHILD", "NO_EM_RESTART"}) {
      unsetenv(v);
    }
    setenv("ASAN_OPTIONS", kSanitizerOptions, 1);
    setenv("UBSAN_OPTIONS", kSanitizerOptions, 1);
    for (const std::string& e : options.env) PutEnv(e);
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);  // writes past the limit then fail with EFBIG
      struct rlimit lim;
      lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(options.file_size_limit);
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(122);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(121);
  }
  RunOutcome r;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    r.exited = WIFEXITED(status);
    r.exit_code = r.exited ? WEXITSTATUS(status) : -1;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  r.err = ReadFile(errpath);
  return r;
}

MixedUpdate::MixedUpdate(std::string install_dir, std::string update_dir)
    : install_dir_(std::move(install_dir)), update_dir_(std::move(update_dir)) {
  big_old_ = testing_util::RandomBytes(300000, 1);
  big_new_ = big_old_.substr(0, 200000) + "inserted" + big_old_.substr(150000);
  data_old_ = testing_util::RandomBytes(500000, 2);
  // Larger than the extraction's 256 KiB buffer: several writes.
  data_new_ = testing_util::RandomBytes(700000, 3);
}

bool MixedUpdate::MakeInstallation() const {
  if (testing_util::Exists(install_dir_) &&
      testing_util::RunCommand("rm -rf '" + install_dir_ + "'") != 0) {
    return false;
  }
  const std::string& d = install_dir_;
  WriteFile(d + "/bin/app", "#!/bin/sh\necho old\n", 0755);
  WriteFile(d + "/lib/libbig.so", big_old_, 0644);
  WriteFile(d + "/lib/libdata.bin", data_old_, 0640);
  WriteFile(d + "/lib/libgone.so", "gone", 0644);
  WriteFile(d + "/share/readme.txt", "old readme\n", 0444);
  WriteFile(d + "/plugins/a/one.dat", "one", 0600);
  WriteFile(d + "/plugins/a/b/two.dat", "two", 0640);
  WriteFile(d + "/obsolete/x.txt", "x", 0644);
  WriteFile(d + "/precomplete",
            "remove \"precomplete\"\nremove \"bin/app\"\nremove \"obsolete/x.txt\"\n"
            "rmdir \"obsolete/\"\n",
            0644);
  return symlink("libbig.so", (d + "/lib/libbig.so.1").c_str()) == 0 &&
         symlink("../lib", (d + "/plugins/a/liblink").c_str()) == 0 &&
         ReadFile(d + "/lib/libdata.bin") == data_old_;
}

bool MixedUpdate::WriteArchive() const {
  mkdir(update_dir_.c_str(), 0755);
  const std::string manifest =
      "type \"complete\"\n"
      "add \"bin/app\"\n"
      "patch \"lib/libbig.so.patch\" \"lib/libbig.so\"\n"
      "add \"lib/libdata.bin\"\n"
      "add \"share/new/notes.txt\"\n"
      "add-if \"share/readme.txt\" \"share/readme.txt\"\n"
      "add-if-not \"share/missing.txt\" \"share/extra.txt\"\n"
      "remove \"lib/libgone.so\"\n"
      "rmrfdir \"plugins/\"\n"
      "add \"precomplete\"\n";
  return archive_testing::WriteTestArchive(
      update_dir_ + "/update.qex",
      {
          {"updatev3.manifest", manifest},
          {"bin/app", "#!/bin/sh\necho new\n", 0755},
          {"lib/libbig.so.patch", patch_testing::MakePatchFor(big_old_, big_new_).Serialize()},
          {"lib/libdata.bin", data_new_, 0640},
          {"share/new/notes.txt", "notes\n", 0644},
          {"share/readme.txt", "new readme\n", 0644},
          {"share/extra.txt", "extra\n", 0600},
          {"precomplete", "remove \"precomplete\"\nremove \"bin/app\"\n", 0644},
      });
}

Snapshot MixedUpdate::Installation() const {
  Snapshot snap = testing_util::SnapshotTree(install_dir_);
  for (auto it = snap.begin(); it != snap.end();) {
    it = it->first == "updated" || it->first.rfind("updated/", 0) == 0 ? snap.erase(it)
                                                                       : std::next(it);
  }
  return snap;
}

Snapshot MixedUpdate::Target(bool staged) const {
  return staged ? testing_util::SnapshotTree(StagedDir()) : Installation();
}
std::string MixedUpdate::Status() const { return ReadFile(update_dir_ + "/update.status"); }
std::string MixedUpdate::Log() const { return ReadFile(update_dir_ + "/update.log"); }

Verdict Judge(const MixedUpdate& update, const RunOutcome& run, const Snapshot& original,
              const Snapshot& updated, const JudgeOptions& options) {
  Verdict v;
  if (!run.exited) {
    v.problems.push_back("killed by signal " + std::to_string(run.signal));
    return v;
  }
  const bool allow_unrestored = options.allow_unrestored;
  Snapshot after = update.Target(options.staged);
  if (options.staged) {
    // Copying a read-only file gives it owner write permission, by design of
    // the copy; anything else is a change to the live installation.
    Snapshot live = update.Installation();
    for (auto& [path, desc] : live) {
      auto it = original.find(path);
      if (it != original.end() && desc != it->second && WithOwnerWrite(it->second) == desc) {
        v.notes.push_back("owner write permission added by the staged copy: " + path);
        desc = it->second;
      }
    }
    const std::string diff = testing_util::DiffSnapshots(original, live);
    if (!diff.empty()) v.problems.push_back("a staged update changed the installation:\n" + diff);
  }
  const std::string target = options.staged ? update.StagedDir() : update.install_dir();
  if (testing_util::Exists(target + "/updating")) {
    if (!options.updating_removal_failed) {
      v.problems.push_back("the updating directory was left behind");
    }
    for (auto it = after.begin(); it != after.end();) {
      it = it->first.rfind("updating", 0) == 0 ? after.erase(it) : std::next(it);
    }
  }
  const std::string status = update.Status();
  if (run.exit_code == 0) {
    v.succeeded = true;
    if (status != (options.staged ? "applied\n" : "succeeded\n")) {
      v.problems.push_back("exit code 0 with status: " + status);
    }
    for (const auto& [path, desc] : updated) {
      auto it = after.find(path);
      if (it == after.end() || it->second != desc) v.problems.push_back("not updated: " + path);
    }
    for (const auto& [path, desc] : after) {
      if (updated.count(path)) continue;
      if (EndsWith(path, kBackupSuffix)) {
        v.notes.push_back("backup left after success: " + path);
      } else if (desc[0] == 'd' && original.count(path)) {
        v.notes.push_back("directory left after success: " + path);
      } else {
        v.problems.push_back("unexpected after success: " + path);
      }
    }
    return v;
  }
  if (run.exit_code != 1) {
    v.problems.push_back("exit code " + std::to_string(run.exit_code) + "\n" + run.err);
    return v;
  }
  int code = 0;
  char tail = 0;
  if (sscanf(status.c_str(), "failed: %d%c", &code, &tail) != 2 || tail != '\n' || code == 0 ||
      status != "failed: " + std::to_string(code) + "\n") {
    v.problems.push_back("exit code 1 with status: " + status);
  } else if (update.Log().find("\nfailed: " + std::to_string(code) + "\n") == std::string::npos) {
    v.problems.push_back("the log does not end the run with failed: " + std::to_string(code));
  }
  // A failed staged copy is thrown away; only the installation mattered.
  if (options.staged) return v;
  for (const auto& [path, desc] : original) {
    auto it = after.find(path);
    if (it != after.end() && it->second == desc) continue;
    auto backup = after.find(path + kBackupSuffix);
    if (allow_unrestored && backup != after.end() && backup->second == desc) {
      v.notes.push_back("not restored, kept under its backup name: " + path);
    } else {
      v.problems.push_back((it == after.end() ? "lost: " : "changed: ") + path);
    }
  }
  for (const auto& [path, desc] : after) {
    if (original.count(path)) continue;
    if (!allow_unrestored) {
      v.problems.push_back("left after failure: " + path);
    } else if (!EndsWith(path, kBackupSuffix)) {
      v.notes.push_back("left after failure: " + path);
    }
  }
  return v;
}

}  // namespace fault_testing

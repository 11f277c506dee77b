#include "tests/updater_fixture.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "patch/patch_test_util.h"
#include "testing/test_util.h"

namespace updater_fixture {

using testing_util::ReadFile;
using testing_util::WriteFile;

RunOutcome RunUpdater(const std::vector<std::string>& args, const std::vector<std::string>& env,
                      const std::vector<std::string>& prefix) {
  FILE* err = tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    if (err) dup2(fileno(err), 2);
    for (const char* v : {"DISPLAY", "QUIL_OS_UPDATE", "QUIL_PROCESS_UPDATES",
                          "QUIL_NO_REPLACE_FALLBACK", "QUIL_LAUNCHED_CHILD", "NO_EM_RESTART"})
      unsetenv(v);
    // Sanitizer reports must not pass for the exit codes the updater uses.
    const char* sanitizers = "exitcode=86:halt_on_error=1:verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", sanitizers, 1);
    setenv("UBSAN_OPTIONS", sanitizers, 1);
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    std::vector<std::string> all = prefix;
    all.push_back(UPDATER_BINARY);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(121);
  }
  RunOutcome r;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid)
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (err) {
    r.err = ReadFile("/proc/self/fd/" + std::to_string(fileno(err)));
    fclose(err);
  }
  return r;
}

bool RunDuring(const std::vector<std::string>& args, const std::vector<std::string>& env,
               const std::vector<std::string>& prefix, const std::function<bool()>& ready,
               const std::function<void()>& during, RunOutcome* run) {
  std::atomic<bool> ended{false};
  std::thread updater([&] {
    *run = RunUpdater(args, env, prefix);
    ended = true;
  });
  while (!ended && !ready()) usleep(5000);
  const bool held = ready();
  if (held) during();
  updater.join();
  return held;
}

MixedUpdate::MixedUpdate(std::string install_dir, std::string update_dir)
    : install_dir_(std::move(install_dir)), update_dir_(std::move(update_dir)) {
  big_old_ = testing_util::RandomBytes(300000, 1);
  big_new_ = big_old_.substr(0, 200000) + "inserted" + big_old_.substr(150000);
  data_old_ = testing_util::RandomBytes(500000, 2);
  // Larger than the extraction's 256 KiB buffer: several writes.
  data_new_ = testing_util::RandomBytes(700000, 3);
  // Compressed once: archives are written again and again.
  patch_bz2_ = archive_testing::Bzip2(patch_testing::MakePatchFor(big_old_, big_new_).Serialize());
  data_bz2_ = archive_testing::Bzip2(data_new_);
}

bool MixedUpdate::WriteTree(const std::string& d, bool updated) const {
  if (testing_util::RunCommand("rm -rf '" + d + "'") != 0) return false;
  const std::string age = updated ? "new" : "old";
  WriteFile(d + "/bin/app", "#!/bin/sh\necho " + age + "\n", 0755);
  WriteFile(d + "/lib/libbig.so", updated ? big_new_ : big_old_, 0750);  // a patch keeps the mode
  WriteFile(d + "/lib/libdata.bin", updated ? data_new_ : data_old_, 0640);
  WriteFile(d + "/share/readme.txt", age + " readme\n", updated ? 0644 : 0444);
  if (updated) {
    WriteFile(d + "/share/new/notes.txt", "notes\n", 0644);
    WriteFile(d + "/share/extra.txt", "extra\n", 0600);
    WriteFile(d + "/precomplete", "remove \"precomplete\"\nremove \"bin/app\"\n", 0644);
    // Made with their modes by adddir; the umask applies to "var" alone.
    if (mkdir((d + "/var").c_str(), 0755) || mkdir((d + "/var/cache").c_str(), 0) ||
        mkdir((d + "/var/cache/tmp").c_str(), 0) || chmod((d + "/var/cache").c_str(), 02775) ||
        chmod((d + "/var/cache/tmp").c_str(), 0700) ||
        symlink("libdata.bin", (d + "/lib/libdata.so").c_str()) ||
        symlink("readme.txt", (d + "/share/manual").c_str())) {
      return false;
    }
  } else {
    WriteFile(d + "/share/manual", "manual", 0644);
    WriteFile(d + "/lib/libgone.so", "gone", 0644);
    WriteFile(d + "/plugins/a/one.dat", "one", 0600);
    WriteFile(d + "/plugins/a/b/two.dat", "two", 0640);
    WriteFile(d + "/obsolete/x.txt", "x", 0644);
    WriteFile(d + "/precomplete",
              "remove \"precomplete\"\nremove \"bin/app\"\nremove \"obsolete/x.txt\"\n"
              "rmdir \"obsolete/\"\n",
              0644);
    if (symlink("../lib", (d + "/plugins/a/liblink").c_str()) != 0) return false;
  }
  return symlink(updated ? "./libbig.so" : "libbig.so", (d + "/lib/libbig.so.1").c_str()) == 0 &&
         ReadFile(d + "/lib/libdata.bin") == (updated ? data_new_ : data_old_);
}

Snapshot MixedUpdate::Expected() const {
  testing_util::ScopedTempDir dir;
  return WriteTree(dir.Sub("app"), true) ? testing_util::SnapshotTree(dir.Sub("app")) : Snapshot();
}

bool MixedUpdate::WriteArchive() const {
  const std::string manifest =
      "type \"complete\"\nadd \"bin/app\"\npatch \"lib/libbig.so.patch\" \"lib/libbig.so\"\n"
      "add \"lib/libdata.bin\"\nadd \"share/new/notes.txt\"\n"
      "add-if \"share/readme.txt\" \"share/readme.txt\"\n"
      "add-if-not \"share/missing.txt\" \"share/extra.txt\"\nremove \"lib/libgone.so\"\n"
      "rmrfdir \"plugins/\"\nadd \"precomplete\"\naddlink \"lib/libdata.so\" \"libdata.bin\"\n"
      "addlink \"share/manual\" \"readme.txt\"\naddlink \"lib/libbig.so.1\" \"./libbig.so\"\n"
      "adddir \"var/cache/\" \"2775\"\nadddir \"var/cache/tmp/\" \"0700\"\n";
  return WriteEntries({{"updatev3.manifest", manifest},
                       {"bin/app", "#!/bin/sh\necho new\n", 0755},
                       {"lib/libbig.so.patch", patch_bz2_, 0644, false},
                       {"lib/libdata.bin", data_bz2_, 0640, false},
                       {"share/new/notes.txt", "notes\n", 0644},
                       {"share/readme.txt", "new readme\n", 0644},
                       {"share/extra.txt", "extra\n", 0600},
                       {"precomplete", "remove \"precomplete\"\nremove \"bin/app\"\n", 0644}});
}

bool MixedUpdate::WriteEntries(const std::vector<archive_testing::TestEntry>& entries) const {
  archive_testing::TestLayout layout;
  layout.entries = entries;
  if (!app_id_.empty())
    layout.blocks.push_back({2, app_id_ + std::string(128 - app_id_.size(), '\0')});
  return testing_util::RunCommand("mkdir -p '" + update_dir_ + "'") == 0 &&
         archive_testing::WriteBytes(update_dir_ + "/update.qex",
                                     archive_testing::BuildArchive(layout));
}

bool MixedUpdate::DamageLastEntry() const {
  std::string bytes = ReadFile(update_dir_ + "/update.qex");
  size_t index = 0;
  for (int i = 4; i < 8; ++i) index = index << 8 | static_cast<unsigned char>(bytes[i]);
  if (index < 6 || index > bytes.size()) return false;
  bytes[index - 6] ^= 0x55;
  return archive_testing::WriteBytes(update_dir_ + "/update.qex", bytes);
}

bool MixedUpdate::Finished(bool staged) const {
  const std::string work = (staged ? StagedDir() : install_dir_) + "/updating";
  return Status() == (staged ? "applied\n" : "succeeded\n") && !testing_util::Exists(work) &&
         !testing_util::Exists(work + ".journal") && !testing_util::Exists(install_dir_ + ".bak") &&
         !testing_util::Exists(install_dir_ + "/.quil-swap-new");
}

Snapshot MixedUpdate::Target(bool staged) const {
  Snapshot snap = testing_util::SnapshotTree(staged ? StagedDir() : install_dir_);
  for (auto it = snap.begin(); it != snap.end();) {
    // The staged copy's mark is the updater's, not the installation's.
    bool own = it->first.rfind("updated", 0) == 0 || it->first.rfind("updates", 0) == 0 ||
               (staged && it->first == ".quil-staged");
    it = own ? snap.erase(it) : std::next(it);
  }
  return snap;
}

Verdict Judge(const MixedUpdate& update, const RunOutcome& run, const Snapshot& original,
              const Snapshot& updated, const JudgeOptions& options) {
  Verdict v;
  auto problem = [&v](const std::string& text) { v.problems.push_back(text); };
  const std::string kBackup = ".quil-backup", status = update.Status();
  auto is_backup = [&kBackup](const std::string& path) {
    return path.size() > kBackup.size() && path.rfind(kBackup) == path.size() - kBackup.size();
  };
  if (options.staged) {
    // The copy only reads the installation: modes included, nothing changes.
    Snapshot live = update.Installation();
    if (live != original)
      problem("changed installation:\n" + testing_util::DiffSnapshots(original, live));
  }
  Snapshot after = update.Target(options.staged);
  const std::string work =
      (options.staged ? update.StagedDir() : update.install_dir()) + "/updating";
  // A rollback that could not restore everything keeps its journal for the next run.
  const bool kept_journal = options.allow_unrestored && !testing_util::Exists(work) &&
                            update.Log().find("the rollback is incomplete") != std::string::npos;
  if (testing_util::Exists(work) || testing_util::Exists(work + ".journal")) {
    if (!options.updating_removal_failed && !kept_journal)
      problem("updating directory or journal left behind");
    for (auto it = after.begin(); it != after.end();)
      it = it->first.rfind("updating", 0) == 0 ? after.erase(it) : std::next(it);
  }
  v.succeeded = run.exit_code == 0;
  if (v.succeeded) {
    if (status != (options.staged ? "applied\n" : "succeeded\n")) problem("status " + status);
  } else if (run.exit_code != 1) {
    problem("exit code " + std::to_string(run.exit_code) + "\n" + run.err);
    return v;
  } else {
    int code = 0;
    if (sscanf(status.c_str(), "failed: %d", &code) != 1 || code == 0 ||
        status != "failed: " + std::to_string(code) + "\n") {
      problem("status " + status);
    } else if (update.Log().find("\n" + status) == std::string::npos) {
      problem("the log does not end with " + status);
    }
  }
  // The last line on standard error tells the outcome (and, when the log
  // could be opened, where the log is).
  const std::string end =
      v.succeeded ? "updater: succeeded" : "updater: " + status.substr(0, status.size() - 1);
  size_t last = run.err.rfind("updater: ");
  if (last == std::string::npos || run.err.compare(last, end.size(), end) != 0 ||
      run.err.find('\n', last) != run.err.size() - 1) {
    problem("standard error does not end with " + end + ":\n" + run.err);
  }
  if (!v.succeeded && options.staged) return v;  // a failed staged copy is thrown away
  const Snapshot& want = v.succeeded ? updated : original;
  for (const auto& [path, desc] : want) {
    auto it = after.find(path), backup = after.find(path + kBackup);
    bool kept =
        !v.succeeded && options.allow_unrestored && backup != after.end() && backup->second == desc;
    if ((it == after.end() || it->second != desc) && !kept) problem("missing or changed: " + path);
  }
  for (const auto& [path, desc] : after) {
    // Leftovers of removals that failed.
    bool tolerated = v.succeeded ? is_backup(path) || (desc[0] == 'd' && original.count(path))
                                 : options.allow_unrestored;
    if (!want.count(path) && !tolerated) problem("left: " + path);
  }
  return v;
}

}  // namespace updater_fixture

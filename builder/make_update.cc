#include "builder/make_update.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "archive/qex.h"
#include "archive/qex_format.h"
#include "archive/qex_sign.h"
#include "base/json.h"
#include "builder/files.h"
#include "builder/plan.h"
#include "builder/scan.h"
#include "builder/verify.h"
#include "builder/write.h"

namespace {

// The work directory, for the handler of SIGINT and SIGTERM, which removes it
// with a child rm (fork, exec and wait are safe in a handler) and then ends
// the process by the same signal. Process-wide because a signal handler is
// given no data of its own: this is all it reads, set before it is installed.
char interruptedWork[4096];

void RemoveWorkAndDie(int sig) {
  for (int pass = 0; pass < 2; pass++) {  // the second catches files of running jobs
    pid_t pid = fork();
    if (pid == 0) {
      execl("/bin/rm", "rm", "-rf", "--", interruptedWork, static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

void HandleInterrupts(const std::string& work) {
  snprintf(interruptedWork, sizeof(interruptedWork), "%s", work.c_str());
  struct sigaction sa = {};
  sa.sa_handler = work.empty() ? SIG_DFL : RemoveWorkAndDie;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

std::string Megabytes(uint64_t bytes) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%.1f MB", static_cast<double>(bytes) / 1e6);
  return buf;
}

// A progress line on standard error, redrawn in place every quarter second
// while the jobs run, and erased when they end; nothing else is printed
// meanwhile, so it never mixes with other output.
class ProgressLine {
 public:
  ProgressLine(FILE* err, JobProgress* progress, size_t files, uint64_t bytes)
      : err_(err), progress_(progress), files_(files), bytes_(bytes) {
    thread_ = std::thread([this] { Loop(); });
  }
  ~ProgressLine() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
    fputs("\r\033[K", err_);
  }

 private:
  void Loop() {
    auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; })) {
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      uint64_t bytes = progress_->bytes;
      double rate = seconds > 0 ? bytes / seconds : 0;
      // The largest file under way is the one that holds the work up.
      std::string current;
      {
        std::lock_guard<std::mutex> running_lock(progress_->mutex);
        uint64_t largest = 0;
        for (const auto& [path, size] : progress_->running) {
          if (current.empty() || size > largest) current = path, largest = size;
        }
      }
      std::string eta = rate > 0 ? ", about " +
                                       std::to_string(static_cast<long long>(
                                           (bytes_ - std::min(bytes, bytes_)) / rate + 0.5)) +
                                       " s left"
                                 : "";
      fprintf(err_, "\r\033[Kmake-update: %zu/%zu files, %s of %s, %s/s%s: %s",
              progress_->files.load(), files_, Megabytes(bytes).c_str(), Megabytes(bytes_).c_str(),
              Megabytes(static_cast<uint64_t>(rate)).c_str(), eta.c_str(), current.c_str());
      fflush(err_);
    }
  }

  FILE* err_;
  JobProgress* progress_;
  const size_t files_;
  const uint64_t bytes_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

class MakeUpdateRun {
 public:
  MakeUpdateRun(const MakeUpdateOptions& options, FILE* out, FILE* err)
      : o_(options), out_(out), err_(err) {}
  ~MakeUpdateRun() {
    if (!work_.empty()) RemoveTree(work_);
    if (o_.handle_interrupts) HandleInterrupts("");
  }

  int Run();

 private:
  int Build();
  bool Scan();
  bool Plan();
  bool WriteArchive();
  bool Verify();
  bool PutInPlace();
  bool WriteJson(int exit_status);
  // Every failure goes to `err` and into the summary for machines.
  bool Fail(const std::string& message) {
    fprintf(err_, "make-update: %s\n", message.c_str());
    failures_.push_back(message);
    return false;
  }
  void Note(const std::string& message) const {
    if (!o_.quiet) fprintf(out_, "make-update: %s\n", message.c_str());
  }

  const MakeUpdateOptions& o_;
  FILE* out_;
  FILE* err_;
  std::string work_;
  // The archive is written here, in the work directory beside the output,
  // and renamed to the output only once it is whole, signed and verified.
  std::string archive_;
  bool archive_placed_ = false;
  std::vector<std::string> failures_;
  TreeListing old_, new_;
  std::vector<FileJob> jobs_;
  UpdatePlan plan_;
  bool nothing_to_do_ = false;
  uint64_t archive_size_ = 0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  QexKeys keys_;  // the signing keys, read before any work
};

bool MakeUpdateRun::Scan() {
  // Notes on the old tree's links would only repeat what the new tree says.
  std::vector<std::string> problems, notes, old_notes;
  bool scan_old = !o_.full;
  if (!ScanTree(o_.new_dir, o_.copy_links, &new_, &problems, &notes) ||
      (scan_old && !ScanTree(o_.old_dir, o_.copy_links, &old_, &problems, &old_notes))) {
    for (const std::string& p : problems) Fail(p);
    return false;
  }
  for (const std::string& n : notes) Note(n);
  if (!problems.empty()) {
    for (const std::string& p : problems) Fail(p);
    return Fail(std::to_string(problems.size()) +
                " object(s) above cannot be expressed by the manifest");
  }
  for (const char* generated : {kPrecompleteName, kInstalledVersionFile}) {
    auto own = new_.find(generated);
    if (own != new_.end() && own->second.kind == TreeEntry::kFile) {
      Note(o_.new_dir + "/" + generated + " is replaced by the one make-update writes");
      new_.erase(own);
    }
  }
  for (const auto& [path, entry] : new_) {
    auto was = old_.find(path);
    // Its removal comes only after every file has been put in place.
    if (entry.kind != TreeEntry::kDirectory && was != old_.end() &&
        was->second.kind == TreeEntry::kDirectory) {
      return Fail("the directory " + path + " becomes a " +
                  (entry.kind == TreeEntry::kLink ? "symbolic link" : "file") +
                  ", which a partial update cannot express; make a complete "
                  "update (--full) for an installation without it");
    }
  }
  for (const auto& [path, entry] : new_) {
    if (o_.copy_links && entry.kind == TreeEntry::kDirectory && IsEmptyDirectory(new_, path)) {
      Note("the empty directory " + path +
           " is left out (the manifest creates directories only for the files in them)");
    }
  }
  return true;
}

bool MakeUpdateRun::Plan() {
  std::string error;
  if (!AddVersionRecord(work_, o_.version, o_.app_id, &new_, &error) ||
      !AddPrecomplete(work_, &new_, &error)) {
    return Fail(error);
  }
  jobs_ = PlanFileJobs(old_, new_);
  int threads = o_.jobs > 0 ? o_.jobs : static_cast<int>(std::thread::hardware_concurrency());
  {
    JobProgress progress;
    std::unique_ptr<ProgressLine> line;
    if (!o_.quiet && isatty(fileno(err_))) {
      uint64_t bytes = 0;
      for (const FileJob& job : jobs_) bytes += job.new_entry->size;
      line = std::make_unique<ProgressLine>(err_, &progress, jobs_.size(), bytes);
    }
    RunJobs(&jobs_, work_, std::max(threads, 1), &progress);
  }
  bool ok = true;
  for (const FileJob& job : jobs_) {
    if (!job.error.empty()) ok = Fail(job.error);
  }
  if (!ok) return false;

  plan_ = PlanUpdate(jobs_, old_, new_, o_.full, o_.copy_links);
  if (!o_.from_version.empty()) {
    // Comments may come before the type line; the updater skips them.
    plan_.manifest =
        "# from version " + o_.from_version + " to " + o_.version + "\n" + plan_.manifest;
    if (compare_versions(o_.version.c_str(), o_.from_version.c_str()) <= 0) {
      fprintf(err_, "make-update: warning: the new version %s is not newer than %s\n",
              o_.version.c_str(), o_.from_version.c_str());
    }
  }
  for (const std::string& note : plan_.notes) Note(note);
  if (o_.full) {
    Note("complete update: " + std::to_string(plan_.added) + " files");
  } else {
    Note("partial update: " + std::to_string(plan_.patched) + " patched, " +
         std::to_string(plan_.added) + " added, " + std::to_string(plan_.removed) + " removed, " +
         std::to_string(plan_.dirs_removed) + " directories removed, " +
         std::to_string(plan_.unchanged) + " unchanged");
  }
  if (plan_.links || plan_.dirs_added) {
    Note(std::to_string(plan_.links) + " symbolic links, " + std::to_string(plan_.dirs_added) +
         " directories made: the archive needs an updater that knows addlink and adddir "
         "(an older one fails with 5 and rolls back; --copy-links avoids them)");
  }
  // Every update carries the new precomplete file and the version record;
  // alone they change nothing the application uses.
  bool changes = plan_.removed || plan_.dirs_removed || plan_.links || plan_.dirs_added ||
                 std::any_of(plan_.entries.begin(), plan_.entries.end(), [](const auto& e) {
                   for (const std::string own : {kPrecompleteName, kInstalledVersionFile}) {
                     if (e.first == own || e.first.rfind(own + ".patch", 0) == 0) return false;
                   }
                   return true;
                 });
  if (!o_.full && !changes) {
    nothing_to_do_ = true;
    return Fail("the two trees hold the same files: nothing to update");
  }
  if (plan_.stored > kQexMaxCreatedSize) {
    return Fail("the entries take " + std::to_string(plan_.stored) + " bytes compressed; an " +
                "archive holds at most " + std::to_string(kQexMaxCreatedSize));
  }
  return true;
}

bool MakeUpdateRun::WriteArchive() {
  std::string error;
  archive_ = work_ + "/archive.qex";
  if (!WriteUpdateArchive(archive_, plan_.manifest, plan_.entries, o_.channel, o_.version,
                          o_.app_id, work_, &error)) {
    return Fail(error);
  }
  if (keys_) {
    if (qex_sign_archive(archive_.c_str(), keys_.get()) != 0) {
      return Fail("cannot sign " + o_.output);
    }
    Note("signed " + o_.output + " with " + std::to_string(qex_key_count(keys_.get())) + " key(s)");
  }
  struct stat st;
  if (stat(archive_.c_str(), &st) != 0) return Fail("cannot examine " + archive_ + ": " + Errno());
  archive_size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool MakeUpdateRun::PutInPlace() {
  if (rename(archive_.c_str(), o_.output.c_str()) != 0) {
    return Fail("cannot rename the archive to " + o_.output + ": " + Errno());
  }
  archive_placed_ = true;
  Note("wrote " + o_.output + " (" + std::to_string(archive_size_) + " bytes, " +
       std::to_string(plan_.entries.size() + 1) + " entries)");
  return true;
}

bool MakeUpdateRun::Verify() {
  std::string scratch = work_ + "/verify", error;
  std::vector<std::string> differences;
  if (!VerifyUpdate(o_.updater, keys_.get(), archive_, o_.old_dir, scratch, new_, o_.copy_links,
                    &differences, &error)) {
    return Fail(error);
  }
  if (differences.empty()) {
    Note("verified: the update turns a copy of " + o_.old_dir + " into " + o_.new_dir);
    return true;
  }
  for (const std::string& d : differences) Fail("verify: " + d);
  // Keep the evidence beside the archive; the work directory goes away.
  std::string kept = o_.output + ".verify";
  RemoveTree(kept);
  if (rename(scratch.c_str(), kept.c_str()) == 0) {
    fprintf(err_, "make-update: the updated copy and the updater's log are in %s\n", kept.c_str());
  }
  return Fail("verify failed: " + std::to_string(differences.size()) + " difference(s)");
}

// The summary for machines: the outcome, counts, stored bytes of each kind,
// the largest patches and the time taken. Written whatever the outcome, with
// the figures known by the step that ended the run.
bool MakeUpdateRun::WriteJson(int exit_status) {
  uint64_t patch_bytes = 0, file_bytes = 0, new_bytes = 0;
  std::vector<const FileJob*> patches;
  std::set<std::string> counted;  // entries that share a payload store it once
  for (const FileJob& job : jobs_) {
    new_bytes += job.new_entry->size;
    const uint64_t stored = counted.insert(job.staged).second ? job.stored : 0;
    if (job.outcome == FileJob::kStorePatch) {
      patch_bytes += stored;
      patches.push_back(&job);
    } else if (job.outcome == FileJob::kStoreFile) {
      file_bytes += stored;
    }
  }
  std::sort(patches.begin(), patches.end(),
            [](const FileJob* a, const FileJob* b) { return a->stored > b->stored; });
  if (patches.size() > 10) patches.resize(10);
  JsonValue largest = JsonValue::array();
  for (const FileJob* job : patches) {
    largest.push_back(
        {{"path", job->path}, {"stored", job->stored}, {"file_stored", job->file_stored}});
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  JsonValue summary = {
      {"exit_status", exit_status},
      {"errors", failures_},
      {"kind", o_.full ? "complete" : "partial"},
      {"product_version", o_.version},
      {"from_version", o_.from_version},
      {"channel", o_.channel},
      {"app_id", o_.app_id.empty() ? JsonValue() : JsonValue(o_.app_id)},
      {"archive", archive_placed_ ? JsonValue(o_.output) : JsonValue()},
      {"archive_bytes", archive_placed_ ? archive_size_ : 0},
      {"counts",
       {{"patched", plan_.patched},
        {"added", plan_.added},
        {"removed", plan_.removed},
        {"directories_removed", plan_.dirs_removed},
        {"unchanged", plan_.unchanged},
        {"links", plan_.links},
        {"directories_added", plan_.dirs_added}}},
      {"needs_newer_updater", plan_.links || plan_.dirs_added},
      {"bytes",
       {{"new_tree", new_bytes}, {"stored_patches", patch_bytes}, {"stored_files", file_bytes}}},
      {"largest_patches", largest},
      // Milliseconds are all the precision a build's time has.
      {"seconds", std::round(seconds * 1000) / 1000}};
  std::string text, error;
  if (!JsonText(summary, &text)) return Fail("cannot write the summary as JSON");
  if (o_.json == "-") return fputs(text.c_str(), out_) >= 0;
  return WriteTextFile(o_.json, text, &error) || Fail(error);
}

int MakeUpdateRun::Run() {
  int rv = Build();
  if (!o_.json.empty() && !WriteJson(rv)) rv = kMakeUpdateFailed;
  return rv;
}

int MakeUpdateRun::Build() {
  if (o_.verify && o_.old_dir.empty()) {
    Fail("--verify needs the old tree");
    return 1;
  }
  if (!o_.sign_keys.empty()) {
    std::vector<const char*> paths;
    for (const std::string& key : o_.sign_keys) paths.push_back(key.c_str());
    keys_.reset(qex_read_private_keys(static_cast<int>(paths.size()), paths.data()));
    if (!keys_ || paths.size() > kQexMaxSignatures) {
      Fail("--sign takes 1 to 8 readable Ed25519 private keys");
      return 1;
    }
  }
  std::string parent =
      o_.output.find('/') == std::string::npos ? "." : o_.output.substr(0, o_.output.rfind('/'));
  std::string pattern = parent + "/.make-update-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    Fail("cannot create a work directory beside " + o_.output + ": " + Errno());
    return 1;
  }
  work_ = buf.data();
  if (o_.handle_interrupts) HandleInterrupts(work_);
  // The work directory sits beside the archive; inside a tree it would be
  // scanned as part of it.
  for (const std::string& tree : {o_.old_dir, o_.new_dir}) {
    if (!PathInTree(tree, work_).empty()) {
      Fail("the archive must not be written inside " + tree);
      return 1;
    }
  }
  if (!Scan() || !Plan() || !WriteArchive()) {
    return nothing_to_do_ ? kMakeUpdateNothingToDo : kMakeUpdateFailed;
  }
  if ((o_.verify && !Verify()) || !PutInPlace()) return kMakeUpdateFailed;
  return kMakeUpdateOk;
}

}  // namespace

int WriteFirstInstallFiles(const MakeUpdateOptions& o, FILE* out, FILE* err) {
  TreeListing tree;
  std::vector<std::string> problems, notes;
  bool scanned = ScanTree(o.new_dir, o.copy_links, &tree, &problems, &notes);
  for (const std::string& p : problems) fprintf(err, "make-update: %s\n", p.c_str());
  if (!scanned || !problems.empty()) return kMakeUpdateFailed;
  if (!o.quiet) {
    for (const std::string& n : notes) fprintf(out, "make-update: %s\n", n.c_str());
  }
  // Both files are listed as the files they will be, whatever stands there now.
  const std::string record = o.version + "\n" + (o.app_id.empty() ? "" : o.app_id + "\n");
  TreeEntry file;
  file.kind = TreeEntry::kFile;
  tree[kInstalledVersionFile] = file;
  tree[kPrecompleteName] = file;
  const std::pair<const char*, std::string> files[] = {{kInstalledVersionFile, record},
                                                       {kPrecompleteName, PrecompleteText(tree)}};
  for (const auto& [name, text] : files) {
    const std::string path = JoinPath(o.new_dir, name), temporary = path + ".make-update";
    std::string error;
    if (!WriteTextFile(temporary, text, &error) || rename(temporary.c_str(), path.c_str()) != 0) {
      if (error.empty()) error = "cannot rename " + temporary + " to " + path + ": " + Errno();
      unlink(temporary.c_str());
      fprintf(err, "make-update: %s\n", error.c_str());
      return kMakeUpdateFailed;
    }
    if (!o.quiet) fprintf(out, "make-update: wrote %s\n", path.c_str());
  }
  return kMakeUpdateOk;
}

void RemoveOnInterrupt(const std::string& dir) { HandleInterrupts(dir); }

int MakeUpdate(const MakeUpdateOptions& options, FILE* out, FILE* err) {
  MakeUpdateRun run(options, out, err);
  return run.Run();
}

#include "builder/make_update.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "archive/qex_format.h"
#include "builder/files.h"
#include "builder/plan.h"
#include "builder/scan.h"
#include "builder/verify.h"
#include "builder/write.h"

namespace {

class MakeUpdateRun {
 public:
  MakeUpdateRun(const MakeUpdateOptions& options, FILE* out, FILE* err)
      : o_(options), out_(out), err_(err) {}
  ~MakeUpdateRun() {
    if (!work_.empty()) RemoveTree(work_);
  }

  int Run();

 private:
  bool Scan();
  bool Plan();
  bool WriteArchive();
  bool Verify();
  bool Fail(const std::string& message) {
    fprintf(err_, "make-update: %s\n", message.c_str());
    return false;
  }
  void Note(const std::string& message) { fprintf(out_, "make-update: %s\n", message.c_str()); }

  const MakeUpdateOptions& o_;
  FILE* out_;
  FILE* err_;
  std::string work_;
  TreeListing old_, new_;
  UpdatePlan plan_;
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
    bool links = std::any_of(problems.begin(), problems.end(), [](const std::string& p) {
      return p.compare(0, 14, "symbolic link:") == 0;
    });
    return Fail(std::to_string(problems.size()) +
                " object(s) above cannot be expressed by the manifest" +
                (links ? "; --copy-links stores links to regular files as copies" : ""));
  }
  auto own = new_.find(kPrecompleteName);
  if (own != new_.end() && own->second.kind == TreeEntry::kFile) {
    Note(o_.new_dir + "/" + kPrecompleteName +
         " is replaced by the generated list of the new tree");
    new_.erase(own);
  }
  for (const auto& [path, entry] : new_) {
    auto was = old_.find(path);
    if (entry.kind == TreeEntry::kFile && was != old_.end() &&
        was->second.kind == TreeEntry::kDirectory) {
      return Fail("the directory " + path +
                  " becomes a file, which a partial update cannot express; make a complete "
                  "update (--full) for an installation without it");
    }
  }
  for (const auto& [path, entry] : new_) {
    // Entries below a directory sort between "dir/" and "dir0".
    if (entry.kind == TreeEntry::kDirectory &&
        new_.lower_bound(path + "/") == new_.lower_bound(path + "0")) {
      Note("the empty directory " + path +
           " is left out (the manifest creates directories only for the files in them)");
    }
  }
  return true;
}

bool MakeUpdateRun::Plan() {
  std::string error;
  if (!AddPrecomplete(work_, &new_, &error)) return Fail(error);
  std::vector<FileJob> jobs = PlanFileJobs(old_, new_);
  int threads = o_.jobs > 0 ? o_.jobs : static_cast<int>(std::thread::hardware_concurrency());
  RunJobs(&jobs, work_, std::max(threads, 1));
  bool ok = true;
  for (const FileJob& job : jobs) {
    if (!job.error.empty()) ok = Fail(job.error);
  }
  if (!ok) return false;

  plan_ = PlanUpdate(jobs, old_, new_, o_.full);
  for (const std::string& note : plan_.notes) Note(note);
  if (o_.full) {
    fprintf(out_, "make-update: complete update: %zu files\n", plan_.added);
  } else {
    fprintf(out_,
            "make-update: partial update: %zu patched, %zu added, %zu removed, %zu directories "
            "removed, %zu unchanged\n",
            plan_.patched, plan_.added, plan_.removed, plan_.dirs_removed, plan_.unchanged);
  }
  if (plan_.entries.empty() && plan_.removed == 0 && plan_.dirs_removed == 0) {
    // The updater refuses an update without actions.
    return Fail("the two trees hold the same files: there is nothing to update");
  }
  if (plan_.stored > kQexMaxCreatedSize) {
    return Fail("the entries take " + std::to_string(plan_.stored) + " bytes compressed; an " +
                "archive holds at most " + std::to_string(kQexMaxCreatedSize));
  }
  return true;
}

bool MakeUpdateRun::WriteArchive() {
  std::string error;
  if (!WriteUpdateArchive(o_.output, plan_.manifest, plan_.entries, o_.channel, o_.version, work_,
                          &error)) {
    return Fail(error);
  }
  struct stat st;
  if (stat(o_.output.c_str(), &st) == 0) {
    fprintf(out_, "make-update: wrote %s (%lld bytes, %zu entries)\n", o_.output.c_str(),
            static_cast<long long>(st.st_size), plan_.entries.size() + 1);
  }
  return true;
}

bool MakeUpdateRun::Verify() {
  std::string scratch = work_ + "/verify", error;
  std::vector<std::string> differences;
  if (!VerifyUpdate(o_.updater, o_.output, o_.old_dir, scratch, new_, o_.copy_links, &differences,
                    &error)) {
    return Fail(error);
  }
  if (differences.empty()) {
    Note("verified: the update turns a copy of " + o_.old_dir + " into " + o_.new_dir);
    return true;
  }
  for (const std::string& d : differences) fprintf(err_, "make-update: verify: %s\n", d.c_str());
  // Keep the evidence beside the archive; the work directory goes away.
  std::string kept = o_.output + ".verify";
  RemoveTree(kept);
  if (rename(scratch.c_str(), kept.c_str()) == 0) {
    fprintf(err_, "make-update: the updated copy and the updater's log are in %s\n", kept.c_str());
  }
  return Fail("verify failed: " + std::to_string(differences.size()) + " difference(s)");
}

int MakeUpdateRun::Run() {
  if (o_.verify && o_.old_dir.empty()) {
    Fail("--verify needs the old tree");
    return 1;
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
  // The work directory sits beside the archive; inside a tree it would be
  // scanned as part of it.
  for (const std::string& tree : {o_.old_dir, o_.new_dir}) {
    if (!PathInTree(tree, work_).empty()) {
      Fail("the archive must not be written inside " + tree);
      return 1;
    }
  }
  if (!Scan() || !Plan() || !WriteArchive()) return 1;
  if (o_.verify && !Verify()) return 1;
  return 0;
}

}  // namespace

int MakeUpdate(const MakeUpdateOptions& options, FILE* out, FILE* err) {
  MakeUpdateRun run(options, out, err);
  return run.Run();
}

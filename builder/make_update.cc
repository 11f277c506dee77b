#include "builder/make_update.h"

#include <bzlib.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "archive/qex.h"
#include "archive/qex_format.h"
#include "diff/diff.h"
#include "fileops/fileops.h"

namespace {

constexpr size_t kIoChunk = size_t{1} << 20;
// The updater forms "%s.quil-backup" from a manifest path in a buffer of
// kMaxPath bytes; a longer path could not be backed up.
constexpr size_t kMaxManifestPath = kMaxPath - 1 - (sizeof(kBackupSuffix) - 1);

std::string Join(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  return b.empty() ? a : a + "/" + b;
}

std::string Errno() { return strerror(errno); }

std::string OctalMode(mode_t mode) {
  char buf[16];
  snprintf(buf, sizeof(buf), "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

// Names in a directory, sorted bytewise; false when it cannot be read.
bool ListDirectory(const std::string& dir, std::vector<std::string>* names) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  errno = 0;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names->push_back(e->d_name);
  }
  bool ok = errno == 0;
  closedir(d);
  std::sort(names->begin(), names->end());
  return ok;
}

// The path of what `full` finally names, relative to the tree at `root`, or
// "" when it lies outside the tree.
std::string RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return "";
  std::string result = real;
  free(real);
  return result;
}

std::string TreeRelative(const std::string& root, const std::string& full) {
  std::string real_root = RealPath(root), real = RealPath(full);
  if (real_root.empty() || real.compare(0, real_root.size() + 1, real_root + "/") != 0) return "";
  return real.substr(real_root.size() + 1);
}

bool ScanDirectory(const std::string& root, const std::string& rel, bool copy_links,
                   TreeListing* listing, std::vector<std::string>* problems,
                   std::vector<std::string>* notes) {
  std::vector<std::string> names;
  std::string dir = Join(root, rel);
  if (!ListDirectory(dir, &names)) {
    problems->push_back("cannot read the directory " + dir + ": " + Errno());
    return false;
  }
  bool ok = true;
  for (const std::string& name : names) {
    std::string path = Join(rel, name);
    std::string full = root + "/" + path;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
      problems->push_back("cannot examine " + full + ": " + Errno());
      ok = false;
      continue;
    }
    TreeEntry entry;
    entry.source = full;
    if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX + 1];
      ssize_t n = readlink(full.c_str(), target, PATH_MAX);
      std::string link_text(target, n > 0 ? static_cast<size_t>(n) : 0);
      std::string shown = full + " -> " + link_text;
      if (!copy_links) {
        problems->push_back("symbolic link: " + shown);
        continue;
      }
      if (stat(full.c_str(), &st) != 0) {
        notes->push_back("left out (dangling symbolic link): " + shown);
        continue;
      }
      if (!S_ISREG(st.st_mode)) {
        problems->push_back("symbolic link to something other than a regular file: " + shown);
        continue;
      }
      notes->push_back("stored as a copy of its target: " + shown);
      entry.via_link = true;
      entry.link_text = link_text;
      entry.link_resolved = TreeRelative(root, full);
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      problems->push_back("neither a regular file, a directory nor a symbolic link: " + full);
      continue;
    }
    if (!IsExpressiblePath(path)) {
      problems->push_back(
          "a name the manifest cannot carry (\"..\", a double quote, a line break "
          "or too long): " +
          full);
      continue;
    }
    entry.mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) {
      entry.kind = TreeEntry::kDirectory;
      (*listing)[path] = entry;
      ok = ScanDirectory(root, path, copy_links, listing, problems, notes) && ok;
    } else {
      entry.kind = TreeEntry::kFile;
      entry.size = static_cast<uint64_t>(st.st_size);
      (*listing)[path] = entry;
    }
  }
  return ok;
}

bool FilesEqual(const std::string& a, const std::string& b) {
  ScopedFile fa(fopen(a.c_str(), "rb")), fb(fopen(b.c_str(), "rb"));
  if (!fa || !fb) return false;
  std::unique_ptr<char[]> ba(new char[kIoChunk]), bb(new char[kIoChunk]);
  for (;;) {
    size_t na = fread(ba.get(), 1, kIoChunk, fa.get());
    size_t nb = fread(bb.get(), 1, kIoChunk, fb.get());
    if (na != nb || memcmp(ba.get(), bb.get(), na) != 0) return false;
    if (na < kIoChunk) return !ferror(fa.get()) && !ferror(fb.get());
  }
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
  ScopedFile f(fopen(path.c_str(), "wb"));
  if (!f || fwrite(text.data(), 1, text.size(), f.get()) != text.size() || f.close() != 0) {
    *error = "cannot write " + path + ": " + Errno();
    return false;
  }
  return true;
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

// Opens `from` for reading and creates `to`; false with `error` set.
bool OpenForCopy(const std::string& from, const std::string& to, ScopedFile* in, ScopedFile* out,
                 std::string* error) {
  in->reset(fopen(from.c_str(), "rb"));
  if (!*in) {
    *error = "cannot read " + from + ": " + Errno();
    return false;
  }
  out->reset(fopen(to.c_str(), "wb"));
  if (!*out) {
    *error = "cannot create " + to + ": " + Errno();
    return false;
  }
  return true;
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

bool CopyFileBytes(const std::string& from, const std::string& to, mode_t mode,
                   std::string* error) {
  ScopedFile in, out;
  if (!OpenForCopy(from, to, &in, &out, error)) return false;
  std::unique_ptr<char[]> buf(new char[kIoChunk]);
  size_t n;
  while ((n = fread(buf.get(), 1, kIoChunk, in.get())) > 0) {
    if (fwrite(buf.get(), 1, n, out.get()) != n) break;
  }
  if (ferror(in.get()) || ferror(out.get()) || out.close() != 0 || chmod(to.c_str(), mode) != 0) {
    *error = "cannot copy " + from + " to " + to + ": " + Errno();
    return false;
  }
  return true;
}

// A faithful copy of a tree (modes, symbolic links as links) for the scratch
// installation of --verify.
bool CopyTree(const std::string& from, const std::string& to, mode_t dir_mode, std::string* error) {
  if (mkdir(to.c_str(), 0700) != 0) {
    *error = "cannot create " + to + ": " + Errno();
    return false;
  }
  std::vector<std::string> names;
  if (!ListDirectory(from, &names)) {
    *error = "cannot read the directory " + from + ": " + Errno();
    return false;
  }
  for (const std::string& name : names) {
    std::string src = from + "/" + name, dst = to + "/" + name;
    struct stat st;
    if (lstat(src.c_str(), &st) != 0) {
      *error = "cannot examine " + src + ": " + Errno();
      return false;
    }
    bool ok = true;
    if (S_ISDIR(st.st_mode)) {
      ok = CopyTree(src, dst, st.st_mode & 07777, error);
    } else if (S_ISREG(st.st_mode)) {
      ok = CopyFileBytes(src, dst, st.st_mode & 07777, error);
    } else if (S_ISLNK(st.st_mode)) {
      char target[PATH_MAX + 1];
      ssize_t n = readlink(src.c_str(), target, PATH_MAX);
      if (n < 0 || symlink(std::string(target, static_cast<size_t>(n)).c_str(), dst.c_str()) != 0) {
        *error = "cannot copy the link " + src + ": " + Errno();
        ok = false;
      }
    } else {
      *error = "cannot copy " + src + ": neither a file, a directory nor a link";
      ok = false;
    }
    if (!ok) return false;
  }
  if (chmod(to.c_str(), dir_mode) != 0) {
    *error = "cannot set the mode of " + to + ": " + Errno();
    return false;
  }
  return true;
}

// What one worker does for one path.
struct Job {
  enum Type { kAdd, kCompare };
  Type type = kAdd;
  std::string path;
  const TreeEntry* new_entry = nullptr;
  const TreeEntry* old_entry = nullptr;  // kCompare only

  enum Outcome { kUnchanged, kStoreFile, kStorePatch };
  Outcome outcome = kStoreFile;
  std::string staged;         // the compressed payload in the work directory
  uint64_t stored = 0;        // its size
  uint64_t file_stored = 0;   // compressed size of the whole file
  uint64_t patch_stored = 0;  // compressed size of the patch (0 when none was made)
  std::string note;
  std::string error;
};

void RunJob(Job* job, const std::string& work, size_t number, int threads) {
  const TreeEntry& now = *job->new_entry;
  std::string file_staged = work + "/" + std::to_string(number);
  if (job->type == Job::kCompare) {
    const TreeEntry& was = *job->old_entry;
    // The same link to the same file of the tree: the installed link will
    // name that file as this update leaves it, which is the new content.
    if (was.via_link && now.via_link && was.link_text == now.link_text &&
        !now.link_resolved.empty() && was.link_resolved == now.link_resolved) {
      job->outcome = Job::kUnchanged;
      return;
    }
    if (was.size == now.size && FilesEqual(was.source, now.source)) {
      // A link stays when the new tree has the same one; a copy of its target
      // would only be stored to replace it.
      if (was.mode == now.mode &&
          (!was.via_link || (now.via_link && was.link_text == now.link_text))) {
        job->outcome = Job::kUnchanged;
        return;
      }
      job->note = was.via_link ? "replaces a symbolic link" : "mode changes";
    } else if (was.via_link) {
      // A patch would be applied through the link to whatever it names.
      job->note = "replaces a symbolic link";
    } else if (was.mode != now.mode) {
      job->note = "mode changes";  // a patched file keeps the installed file's mode
    } else if (was.size > kQxdiffMaxOldSize || now.size > kQxdiffMaxNewSize) {
      job->note = "too large to patch";
    } else {
      std::string raw = work + "/" + std::to_string(number) + ".raw";
      std::string patch = work + "/" + std::to_string(number) + ".patch";
      int rv =
          qxdiff_files(was.source.c_str(), now.source.c_str(), raw.c_str(), threads, &job->error);
      if (rv != kQxdiffOk) return;
      bool ok = CompressFile(raw, patch, 0644, &job->patch_stored, &job->error);
      unlink(raw.c_str());
      if (!ok) return;
    }
  }
  if (!CompressFile(now.source, file_staged, now.mode & 0777, &job->file_stored, &job->error)) {
    return;
  }
  std::string patch = work + "/" + std::to_string(number) + ".patch";
  if (job->patch_stored != 0 && job->patch_stored < job->file_stored) {
    job->outcome = Job::kStorePatch;
    job->staged = patch;
    job->stored = job->patch_stored;
    unlink(file_staged.c_str());
  } else {
    job->outcome = Job::kStoreFile;
    job->staged = file_staged;
    job->stored = job->file_stored;
    if (job->patch_stored != 0) unlink(patch.c_str());
  }
}

void RunJobs(std::vector<Job>* jobs, const std::string& work, int threads) {
  // Largest first, so that one big file does not start last.
  std::vector<size_t> order(jobs->size());
  for (size_t i = 0; i < order.size(); i++) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [jobs](size_t a, size_t b) {
    return (*jobs)[a].new_entry->size > (*jobs)[b].new_entry->size;
  });
  std::atomic<size_t> next{0};
  auto worker = [&]() {
    for (size_t k; (k = next.fetch_add(1)) < order.size();) {
      RunJob(&(*jobs)[order[k]], work, order[k], threads);
    }
  };
  std::vector<std::thread> pool;
  for (int i = 1; i < threads; i++) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// Runs the updater on the scratch copy, as an ordinary update without a
// window. umask 0, so that files get exactly the modes the archive stores.
// 0 when it exited with 0; otherwise the exit status (or -1).
int RunUpdater(const std::string& updater, const std::string& update_dir,
               const std::string& install_dir) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    umask(0);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QUIL_OS_UPDATE", "QUIL_PROCESS_UPDATES",
                             "QUIL_NO_REPLACE_FALLBACK", "QUIL_LAUNCHED_CHILD", "NO_EM_RESTART"}) {
      unsetenv(name);
    }
    execl(updater.c_str(), updater.c_str(), update_dir.c_str(), install_dir.c_str(),
          static_cast<char*>(nullptr));
    fprintf(stderr, "make-update: cannot run %s: %s\n", updater.c_str(), strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadWholeFile(const std::string& path) {
  ScopedFile f(fopen(path.c_str(), "rb"));
  std::string text;
  if (!f) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f.get())) > 0) text.append(buf, n);
  return text;
}

// The last `max_lines` lines of `text`.
std::string LastLines(const std::string& text, size_t max_lines) {
  size_t pos = text.size();
  if (pos > 0 && text[pos - 1] == '\n') pos--;
  for (size_t lines = 0; pos > 0; pos--) {
    if (text[pos - 1] == '\n' && ++lines == max_lines) break;
  }
  return text.substr(pos);
}

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

  const MakeUpdateOptions& o_;
  FILE* out_;
  FILE* err_;
  std::string work_;
  TreeListing old_, new_;
  std::vector<Job> jobs_;
  std::string manifest_;
  std::vector<std::pair<std::string, std::string>> entries_;  // name, staged path
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
  for (const std::string& n : notes) fprintf(out_, "make-update: %s\n", n.c_str());
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
    fprintf(out_, "make-update: %s/%s is replaced by the generated list of the new tree\n",
            o_.new_dir.c_str(), kPrecompleteName);
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
      fprintf(out_,
              "make-update: the empty directory %s is left out (the manifest creates "
              "directories only for the files in them)\n",
              path.c_str());
    }
  }
  return true;
}

bool MakeUpdateRun::Plan() {
  std::string error;
  TreeEntry precomplete;
  precomplete.kind = TreeEntry::kFile;
  precomplete.mode = 0644;
  precomplete.source = work_ + "/precomplete.txt";
  TreeListing listed = new_;
  listed[kPrecompleteName] = precomplete;
  std::string text = PrecompleteText(listed);
  precomplete.size = text.size();
  if (!WriteTextFile(precomplete.source, text, &error)) return Fail(error);
  new_[kPrecompleteName] = precomplete;

  for (const auto& [path, entry] : new_) {
    if (entry.kind != TreeEntry::kFile) continue;
    Job job;
    job.path = path;
    job.new_entry = &entry;
    auto was = old_.find(path);
    if (was != old_.end() && was->second.kind == TreeEntry::kFile) {
      job.type = Job::kCompare;
      job.old_entry = &was->second;
    }
    jobs_.push_back(job);
  }
  int threads = o_.jobs > 0 ? o_.jobs : static_cast<int>(std::thread::hardware_concurrency());
  RunJobs(&jobs_, work_, std::max(threads, 1));

  bool ok = true;
  for (const Job& job : jobs_) {
    if (!job.error.empty()) ok = Fail(job.error);
  }
  if (!ok) return false;

  std::set<std::string> names = {kManifestEntry};
  for (const Job& job : jobs_) {
    if (job.outcome == Job::kStoreFile) names.insert(job.path);
  }
  std::string removes, changes, rmdirs;
  size_t patched = 0, added = 0, removed = 0, dirs_removed = 0, unchanged = 0;
  uint64_t stored = 0;
  for (const Job& job : jobs_) {
    if ((job.new_entry->mode & 07000) != 0) {
      fprintf(out_, "make-update: %s loses its set-id and sticky bits (the archive stores 0777)\n",
              job.path.c_str());
    }
    if (!job.note.empty()) {
      fprintf(out_, "make-update: %s stored whole (%s)\n", job.path.c_str(), job.note.c_str());
    }
    if (job.outcome == Job::kUnchanged) {
      unchanged++;
      continue;
    }
    stored += job.stored;
    if (job.outcome == Job::kStoreFile) {
      changes += "add " + Quoted(job.path) + "\n";
      entries_.emplace_back(job.path, job.staged);
      added++;
      continue;
    }
    // Patch entries live beside the files; pick a name no file entry uses.
    std::string name = job.path + ".patch";
    for (int n = 1; names.count(name) != 0; n++) name = job.path + ".patch." + std::to_string(n);
    names.insert(name);
    changes += "patch " + Quoted(name) + " " + Quoted(job.path) + "\n";
    entries_.emplace_back(name, job.staged);
    patched++;
  }
  std::vector<std::string> gone_dirs;
  for (const auto& [path, entry] : old_) {
    auto now = new_.find(path);
    if (entry.kind == TreeEntry::kFile && (now == new_.end() || now->second.kind != entry.kind)) {
      removes += "remove " + Quoted(path) + "\n";
      removed++;
    } else if (entry.kind == TreeEntry::kDirectory && now == new_.end()) {
      gone_dirs.push_back(path);
    }
  }
  std::stable_sort(
      gone_dirs.begin(), gone_dirs.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
      });
  for (const std::string& dir : gone_dirs) rmdirs += "rmdir " + Quoted(dir + "/") + "\n";
  dirs_removed = gone_dirs.size();

  // Removals run first so that a file can give way to a directory of the same
  // name; directories go last, after the files in them.
  manifest_ = std::string("type ") + Quoted(o_.full ? "complete" : "partial") + "\n" + removes +
              changes + rmdirs;
  if (o_.full) {
    fprintf(out_, "make-update: complete update: %zu files\n", added);
  } else {
    fprintf(out_,
            "make-update: partial update: %zu patched, %zu added, %zu removed, %zu directories "
            "removed, %zu unchanged\n",
            patched, added, removed, dirs_removed, unchanged);
  }
  if (entries_.empty() && removed == 0 && dirs_removed == 0) {
    // The updater refuses an update without actions.
    return Fail("the two trees hold the same files: there is nothing to update");
  }
  if (stored > kQexMaxCreatedSize) {
    return Fail("the entries take " + std::to_string(stored) + " bytes compressed; an archive " +
                "holds at most " + std::to_string(kQexMaxCreatedSize));
  }
  return true;
}

bool MakeUpdateRun::WriteArchive() {
  std::string error;
  std::string manifest_text = work_ + "/manifest.txt", manifest_stored = work_ + "/manifest";
  uint64_t size = 0;
  if (!WriteTextFile(manifest_text, manifest_, &error) ||
      !CompressFile(manifest_text, manifest_stored, 0644, &size, &error)) {
    return Fail(error);
  }
  std::vector<QexSource> sources;
  sources.push_back(QexSource{kManifestEntry, manifest_stored.c_str()});
  for (const auto& [name, staged] : entries_)
    sources.push_back(QexSource{name.c_str(), staged.c_str()});
  std::string channel = o_.channel, version = o_.version;
  ProductInfo info{&channel[0], &version[0]};
  if (qex_create_archive_ex(o_.output.c_str(), static_cast<int>(sources.size()), sources.data(),
                            &info, QEX_STORE_RAW) != 0) {
    return Fail("cannot write the archive " + o_.output);
  }
  struct stat st;
  if (stat(o_.output.c_str(), &st) == 0) {
    fprintf(out_, "make-update: wrote %s (%lld bytes, %zu entries)\n", o_.output.c_str(),
            static_cast<long long>(st.st_size), sources.size());
  }
  return true;
}

bool MakeUpdateRun::Verify() {
  std::string scratch = work_ + "/verify", install = scratch + "/install",
              update = scratch + "/update", error;
  if (mkdir(scratch.c_str(), 0700) != 0 || mkdir(update.c_str(), 0700) != 0) {
    return Fail("cannot create " + update + ": " + Errno());
  }
  struct stat st;
  if (stat(o_.old_dir.c_str(), &st) != 0)
    return Fail("cannot examine " + o_.old_dir + ": " + Errno());
  if (!CopyTree(o_.old_dir, install, st.st_mode & 07777, &error)) return Fail(error);
  std::string archive = update + "/update.qex";
  if (link(o_.output.c_str(), archive.c_str()) != 0 &&
      !CopyFileBytes(o_.output, archive, 0644, &error)) {
    return Fail(error);
  }
  int rv = RunUpdater(o_.updater, update, install);
  std::string status = ReadWholeFile(update + "/update.status");
  std::vector<std::string> differences;
  if (rv != 0 || status != "succeeded\n") {
    differences.push_back("the updater exited with " + std::to_string(rv) + ", status \"" +
                          status.substr(0, status.find('\n')) + "\"; the end of its log:\n" +
                          LastLines(ReadWholeFile(update + "/update.log"), 20));
  } else {
    CompareTrees(new_, install, o_.copy_links, &differences);
  }
  if (differences.empty()) {
    fprintf(out_, "make-update: verified: the update turns a copy of %s into %s\n",
            o_.old_dir.c_str(), o_.new_dir.c_str());
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
  std::string pattern = (parent.empty() ? "" : parent) + "/.make-update-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    Fail("cannot create a work directory beside " + o_.output + ": " + Errno());
    return 1;
  }
  work_ = buf.data();
  // The work directory sits beside the archive; inside a tree it would be
  // scanned as part of it.
  std::string real_work = RealPath(work_);
  for (const std::string& tree : {o_.old_dir, o_.new_dir}) {
    std::string real_tree = tree.empty() ? "" : RealPath(tree);
    if (!real_tree.empty() && real_work.compare(0, real_tree.size() + 1, real_tree + "/") == 0) {
      Fail("the archive must not be written inside " + tree);
      return 1;
    }
  }
  if (!Scan() || !Plan() || !WriteArchive()) return 1;
  if (o_.verify && !Verify()) return 1;
  return 0;
}

}  // namespace

bool IsExpressiblePath(const std::string& path) {
  return !path.empty() && path[0] != '/' && path.size() <= kMaxManifestPath &&
         path.find_first_of("\"\r\n") == std::string::npos && path.find("..") == std::string::npos;
}

bool ScanTree(const std::string& root, bool copy_links, TreeListing* listing,
              std::vector<std::string>* problems, std::vector<std::string>* notes) {
  struct stat st;
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    problems->push_back("not a directory: " + root);
    return false;
  }
  return ScanDirectory(root, "", copy_links, listing, problems, notes);
}

std::string PrecompleteText(const TreeListing& listing) {
  std::string text;
  std::vector<std::string> dirs;
  for (const auto& [path, entry] : listing) {
    if (entry.kind == TreeEntry::kFile) {
      text += "remove " + Quoted(path) + "\n";
    } else {
      dirs.push_back(path);
    }
  }
  std::stable_sort(dirs.begin(), dirs.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
  });
  for (const std::string& dir : dirs) text += "rmdir " + Quoted(dir + "/") + "\n";
  return text;
}

void CompareTrees(const TreeListing& expected, const std::string& actual_root, bool copy_links,
                  std::vector<std::string>* differences) {
  // Walk the result leniently: every object is examined, nothing refused.
  std::map<std::string, std::pair<mode_t, std::string>> actual;  // full mode, full path
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    std::string rel = pending.back();
    pending.pop_back();
    std::vector<std::string> names;
    if (!ListDirectory(Join(actual_root, rel), &names)) {
      differences->push_back("cannot read the directory " + Join(actual_root, rel));
      continue;
    }
    for (const std::string& name : names) {
      std::string path = Join(rel, name), full = actual_root + "/" + path;
      struct stat st;
      if (lstat(full.c_str(), &st) != 0) continue;
      if (S_ISLNK(st.st_mode) && copy_links && stat(full.c_str(), &st) != 0) continue;
      actual[path] = {st.st_mode, full};
      if (S_ISDIR(st.st_mode)) pending.push_back(path);
    }
  }
  for (const auto& [path, entry] : expected) {
    auto it = actual.find(path);
    if (it == actual.end()) {
      differences->push_back("missing: " + path);
      continue;
    }
    mode_t mode = it->second.first;
    bool is_dir = entry.kind == TreeEntry::kDirectory;
    if (is_dir ? !S_ISDIR(mode) : !S_ISREG(mode)) {
      differences->push_back(std::string("not a ") + (is_dir ? "directory" : "regular file") +
                             ": " + path);
    } else if ((mode & 07777) != entry.mode) {
      differences->push_back("mode " + OctalMode(mode) + " instead of " + OctalMode(entry.mode) +
                             ": " + path);
    }
    if (!is_dir && S_ISREG(mode) && !FilesEqual(entry.source, it->second.second)) {
      differences->push_back("contents differ: " + path);
    }
    actual.erase(it);
  }
  for (const auto& [path, found] : actual) differences->push_back("not in the new tree: " + path);
}

bool CompressFile(const std::string& source, const std::string& dest, mode_t mode,
                  uint64_t* stored_size, std::string* error) {
  ScopedFile in, out;
  if (!OpenForCopy(source, dest, &in, &out, error)) return false;
  bz_stream bz;
  memset(&bz, 0, sizeof(bz));
  if (BZ2_bzCompressInit(&bz, 9, 0, 0) != BZ_OK) {
    *error = "cannot start bzip2 for " + source;
    return false;
  }
  std::unique_ptr<char[]> in_buf(new char[kIoChunk]), out_buf(new char[kIoChunk]);
  uint64_t total = 0;
  bool ok = true, done = false;
  while (ok && !done) {
    int action = BZ_RUN;
    if (bz.avail_in == 0) {
      size_t n = fread(in_buf.get(), 1, kIoChunk, in.get());
      if (ferror(in.get())) {
        *error = "cannot read " + source + ": " + Errno();
        ok = false;
        break;
      }
      bz.next_in = in_buf.get();
      bz.avail_in = static_cast<unsigned>(n);
      if (n < kIoChunk) action = BZ_FINISH;
    }
    // Once the input has ended, keep finishing until the stream is closed.
    if (feof(in.get())) action = BZ_FINISH;
    bz.next_out = out_buf.get();
    bz.avail_out = static_cast<unsigned>(kIoChunk);
    int rv = BZ2_bzCompress(&bz, action);
    if (rv != BZ_RUN_OK && rv != BZ_FINISH_OK && rv != BZ_STREAM_END) {
      *error = "bzip2 failed on " + source;
      ok = false;
      break;
    }
    size_t produced = kIoChunk - bz.avail_out;
    if (fwrite(out_buf.get(), 1, produced, out.get()) != produced) {
      *error = "cannot write " + dest + ": " + Errno();
      ok = false;
    }
    total += produced;
    done = rv == BZ_STREAM_END;
  }
  BZ2_bzCompressEnd(&bz);
  if (ok && (out.close() != 0 || chmod(dest.c_str(), mode) != 0)) {
    *error = "cannot write " + dest + ": " + Errno();
    ok = false;
  }
  if (!ok) {
    unlink(dest.c_str());
    return false;
  }
  *stored_size = total;
  return true;
}

int MakeUpdate(const MakeUpdateOptions& options, FILE* out, FILE* err) {
  MakeUpdateRun run(options, out, err);
  return run.Run();
}

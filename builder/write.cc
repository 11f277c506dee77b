#include "builder/write.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <tuple>

#include "archive/content_digest.h"
#include "archive/qex.h"
#include "archive/qex_compress.h"
#include "builder/files.h"
#include "diff/diff.h"

namespace {

void RunJob(FileJob* job, const std::string& work, size_t number, int threads) {
  const TreeEntry& now = *job->new_entry;
  std::string file_staged = work + "/" + std::to_string(number);
  std::string patch = file_staged + ".patch";
  if (job->type == FileJob::kCompare) {
    const TreeEntry& was = *job->old_entry;
    // The same link to the same file of the tree: the installed link will
    // name that file as this update leaves it, which is the new content.
    if (was.via_link && now.via_link && was.link_text == now.link_text &&
        !now.link_resolved.empty() && was.link_resolved == now.link_resolved) {
      job->outcome = FileJob::kUnchanged;
      return;
    }
    if (was.size == now.size && FilesEqual(was.source, now.source)) {
      // A link stays when the new tree has the same one; a copy of its target
      // would only be stored to replace it.
      if (was.mode == now.mode &&
          (!was.via_link || (now.via_link && was.link_text == now.link_text))) {
        job->outcome = FileJob::kUnchanged;
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
      std::string raw = file_staged + ".raw";
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
  if (job->patch_stored != 0 && job->patch_stored < job->file_stored) {
    job->outcome = FileJob::kStorePatch;
    job->staged = patch;
    job->stored = job->patch_stored;
    unlink(file_staged.c_str());
  } else {
    job->outcome = FileJob::kStoreFile;
    job->staged = file_staged;
    job->stored = job->file_stored;
    if (job->patch_stored != 0) unlink(patch.c_str());
  }
}

// Runs `work(k)` for every k below `count` on `threads` threads, the calling
// one among them.
template <typename Work>
void ForEachOnThreads(size_t count, int threads, const Work& work) {
  std::atomic<size_t> next{0};
  auto worker = [&]() {
    for (size_t k; (k = next.fetch_add(1)) < count;) work(k);
  };
  std::vector<std::thread> pool;
  for (int i = 1; i < threads && static_cast<size_t>(i) < count; i++) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
}

// Where the installed file is reached through a link, the links decide the
// outcome as well; otherwise a job's results follow from its type, modes and
// contents alone (a new file read through a link is read as its target).
bool FollowsFromContents(const FileJob& job) {
  return job.type == FileJob::kAdd || !job.old_entry->via_link;
}

// For every job, the first job (in list order, so the choice does not depend
// on timing) whose results it can take: one of the same type and modes whose
// files hold the same bytes. Only jobs that share their sizes with another
// have their files' keys taken, on `threads` threads. A file that cannot be
// read leaves its job to itself, which reports the failure.
std::vector<size_t> FindTwins(const std::vector<FileJob>& jobs, int threads) {
  using Shape = std::tuple<int, mode_t, uint64_t, mode_t, uint64_t>;
  auto shape = [](const FileJob& job) {
    const TreeEntry* was = job.old_entry;
    return Shape{job.type, job.new_entry->mode, job.new_entry->size, was ? was->mode : 0,
                 was ? was->size : 0};
  };
  std::map<Shape, size_t> shapes;
  for (const FileJob& job : jobs) {
    if (FollowsFromContents(job)) shapes[shape(job)]++;
  }
  std::vector<size_t> keyed;
  for (size_t i = 0; i < jobs.size(); i++) {
    if (FollowsFromContents(jobs[i]) && shapes[shape(jobs[i])] > 1) keyed.push_back(i);
  }
  struct Keys {
    ContentKey now, was;
    bool ok = false;
  };
  std::vector<Keys> keys(keyed.size());
  ForEachOnThreads(keyed.size(), threads, [&](size_t k) {
    const FileJob& job = jobs[keyed[k]];
    keys[k].ok = DigestFile(job.new_entry->source.c_str(), &keys[k].now) &&
                 (!job.old_entry || DigestFile(job.old_entry->source.c_str(), &keys[k].was));
  });
  std::vector<size_t> twin(jobs.size());
  for (size_t i = 0; i < twin.size(); i++) twin[i] = i;
  std::map<std::tuple<Shape, ContentKey, ContentKey>, size_t> first;
  for (size_t k = 0; k < keyed.size(); k++) {
    if (!keys[k].ok) continue;
    const size_t i = keyed[k];
    twin[i] =
        first.emplace(std::make_tuple(shape(jobs[i]), keys[k].now, keys[k].was), i).first->second;
  }
  return twin;
}

}  // namespace

bool CompressFile(const std::string& source, const std::string& dest, mode_t mode,
                  uint64_t* stored_size, std::string* error) {
  ScopedFile in, out;
  if (!OpenForCopy(source, dest, &in, &out, error)) return false;
  int rv = CompressToBzip2(in.get(), out.get(), stored_size);
  if (rv == kQexCompressCannotStart) {
    *error = "cannot start bzip2 for " + source;
  } else if (rv == kQexCompressReadError) {
    *error = "cannot read " + source + ": " + Errno();
  } else if (rv == kQexCompressFailed) {
    *error = "bzip2 failed on " + source;
  } else if (rv != kQexCompressOk || out.close() != 0 || chmod(dest.c_str(), mode) != 0) {
    *error = "cannot write " + dest + ": " + Errno();
  } else {
    return true;
  }
  unlink(dest.c_str());
  return false;
}

void RunJobs(std::vector<FileJob>* jobs, const std::string& work, int threads,
             JobProgress* progress) {
  const std::vector<size_t> twin = FindTwins(*jobs, threads);
  // Largest first, so that one big file does not start last.
  std::vector<size_t> order;
  for (size_t i = 0; i < jobs->size(); i++) {
    if (twin[i] == i) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [jobs](size_t a, size_t b) {
    return (*jobs)[a].new_entry->size > (*jobs)[b].new_entry->size;
  });
  auto done = [progress](const FileJob& job) {
    if (!progress) return;
    std::lock_guard<std::mutex> lock(progress->mutex);
    progress->running.erase(job.path);
    progress->bytes += job.new_entry->size;
    progress->files++;
  };
  ForEachOnThreads(order.size(), threads, [&](size_t k) {
    FileJob* job = &(*jobs)[order[k]];
    if (progress) {
      std::lock_guard<std::mutex> lock(progress->mutex);
      progress->running[job->path] = job->new_entry->size;
    }
    RunJob(job, work, order[k], threads);
    done(*job);
  });
  // A twin stages nothing of its own: its entry is its first twin's payload,
  // which the archive then stores once. A failure is reported once, there.
  for (size_t i = 0; i < jobs->size(); i++) {
    if (twin[i] == i) continue;
    FileJob& job = (*jobs)[i];
    const FileJob& first = (*jobs)[twin[i]];
    job.outcome = first.outcome;
    job.staged = first.staged;
    job.stored = first.stored;
    job.file_stored = first.file_stored;
    job.patch_stored = first.patch_stored;
    job.note = first.note;
    done(job);
  }
}

bool WriteUpdateArchive(const std::string& output, const std::string& manifest,
                        const std::vector<std::pair<std::string, std::string>>& entries,
                        const std::string& channel, const std::string& version,
                        const std::string& app_id, const std::string& work, std::string* error) {
  std::string manifest_text = work + "/manifest.txt", manifest_stored = work + "/manifest";
  uint64_t size = 0;
  if (!WriteTextFile(manifest_text, manifest, error) ||
      !CompressFile(manifest_text, manifest_stored, 0644, &size, error)) {
    return false;
  }
  std::vector<QexSource> sources;
  sources.push_back(QexSource{kManifestEntry, manifest_stored.c_str()});
  for (const auto& [name, staged] : entries) {
    sources.push_back(QexSource{name.c_str(), staged.c_str()});
  }
  std::string channel_copy = channel, version_copy = version, app_id_copy = app_id;
  ProductInfo info{&channel_copy[0], &version_copy[0], app_id.empty() ? nullptr : &app_id_copy[0]};
  if (qex_create_archive_ex(output.c_str(), static_cast<int>(sources.size()), sources.data(), &info,
                            QEX_STORE_RAW) != 0) {
    *error = "cannot write the archive " + output;
    return false;
  }
  return true;
}

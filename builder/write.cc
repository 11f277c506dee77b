#include "builder/write.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

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
  // Largest first, so that one big file does not start last.
  std::vector<size_t> order(jobs->size());
  for (size_t i = 0; i < order.size(); i++) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [jobs](size_t a, size_t b) {
    return (*jobs)[a].new_entry->size > (*jobs)[b].new_entry->size;
  });
  std::atomic<size_t> next{0};
  auto worker = [&]() {
    for (size_t k; (k = next.fetch_add(1)) < order.size();) {
      FileJob* job = &(*jobs)[order[k]];
      if (progress) {
        std::lock_guard<std::mutex> lock(progress->mutex);
        progress->running[job->path] = job->new_entry->size;
      }
      RunJob(job, work, order[k], threads);
      if (progress) {
        std::lock_guard<std::mutex> lock(progress->mutex);
        progress->running.erase(job->path);
        progress->bytes += job->new_entry->size;
        progress->files++;
      }
    }
  };
  std::vector<std::thread> pool;
  for (int i = 1; i < threads; i++) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
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

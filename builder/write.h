// Writing the update: every file's entry compressed, and its patch made and
// compressed, by a pool of threads; then the archive from the staged entries.
#ifndef UPDATER_BUILDER_WRITE_H_
#define UPDATER_BUILDER_WRITE_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "builder/plan.h"

// Compresses the file at `source` into a new file at `dest` as one bzip2
// stream (block size 9), with permission bits `mode`. Stores the compressed
// size in `stored_size`. False, with `error` set, on any failure (`dest` is
// then removed).
bool CompressFile(const std::string& source, const std::string& dest, mode_t mode,
                  uint64_t* stored_size, std::string* error);

// Runs every job on `threads` threads, largest file first, staging payloads in
// `work` under the job's index ("N", "N.patch"). A compared file is unchanged
// when its bytes and mode are (or when both trees hold the same link to the
// same file of the tree); otherwise it is stored as a patch where a patch
// could be made and compresses smaller than the file. A job whose type,
// modes and file contents equal an earlier job's (no installed file reached
// through a link) takes that job's results, staged payload included. A
// failure is left in the job's `error`. `progress`, when given, follows the
// work as it goes.
struct JobProgress {
  std::atomic<size_t> files{0};
  std::atomic<uint64_t> bytes{0};  // of the new files done
  std::mutex mutex;
  std::map<std::string, uint64_t> running;  // path and size of the files under way, under `mutex`
};
void RunJobs(std::vector<FileJob>* jobs, const std::string& work, int threads,
             JobProgress* progress = nullptr);

// Writes the archive at `output` with the manifest (compressed into `work`)
// first, then `entries` (name, staged payload) stored as they are, and the
// channel, version and application id (empty: none). False with `error` set
// on failure.
bool WriteUpdateArchive(const std::string& output, const std::string& manifest,
                        const std::vector<std::pair<std::string, std::string>>& entries,
                        const std::string& channel, const std::string& version,
                        const std::string& app_id, const std::string& work, std::string* error);

#endif  // UPDATER_BUILDER_WRITE_H_

#include "actions/add_action.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "actions/manifest.h"
#include "archive/archive_reader.h"
#include "driver/run_settings.h"
#include "driver/update_log.h"
#include "fileops/fileops.h"

namespace {

// Decoders stop taking entries while this many decoded bytes wait for their
// actions: enough to keep decoding through the largest files while the worker
// waits on one, without filling the disk far ahead of the run.
constexpr int64_t kMaxAheadBytes = int64_t{128} << 20;

// Length of the prefix of `path` that names its first missing directory, or 0
// when every directory above the last component exists.
size_t FirstMissingDirectory(char* path) {
  for (char* slash = strchr(path, '/'); slash; slash = strchr(slash + 1, '/')) {
    *slash = '\0';
    struct stat st;
    bool missing = lstat(path, &st) != 0;
    *slash = '/';
    if (missing) return static_cast<size_t>(slash - path);
  }
  return 0;
}

// Removes the directories above the last component of `path`, deepest first,
// down to the one whose path is `length` bytes long. rmdir removes only empty
// ones: whatever another action left in them stays.
void RemoveNewDirectories(const char* path, size_t length) {
  std::string dir(path);
  for (size_t slash = dir.rfind('/'); slash != std::string::npos && slash >= length;
       slash = dir.rfind('/')) {
    dir.resize(slash);
    if (rmdir(dir.c_str()) != 0) return;
  }
}

}  // namespace

int AddAction::Parse(char* line) {
  path = get_valid_path(&line, false);
  return path ? kOk : kParseError;
}

int AddAction::Prepare() {
  LOG("PREPARE ADD %s", path);
  return kOk;
}

int AddAction::Execute() {
  LOG("EXECUTE ADD %s", path);
  // Before `path` is written to (FirstMissingDirectory cuts it in place).
  if (predecoder_) predecoder_->Claim(predecode_slot_);
  // lstat, not access: a dangling link must be moved aside too, or the
  // extraction would create its target wherever it points.
  struct stat st;
  int rv;
  if (lstat(path, &st) == 0) {
    rv = backup_create(path);
  } else {
    // Noted before creating anything, so that a rollback also removes the
    // directories of a creation that failed half-way.
    first_new_dir_ = FirstMissingDirectory(path);
    rv = ensure_parent_dir(path);
  }
  if (rv != kOk) return rv;
  rv = predecoder_ ? predecoder_->Install(predecode_slot_, path)
                   : gArchiveReader.ExtractToFile(path, path);
  // The path was free, so whatever stands there now is this action's file,
  // complete or not.
  if (lstat(path, &st) == 0) {
    added = true;
    added_dev_ = st.st_dev;
    added_ino_ = st.st_ino;
  }
  return rv;
}

void AddAction::Finish(int status) {
  LOG("FINISH ADD %s", path);
  if (status == 0) {
    backup_delete(path);
    return;
  }
  // Another action's rollback may have put an older file here already (one
  // that restores a backup it did not make itself): that one must stay.
  struct stat st;
  if (added && lstat(path, &st) == 0 && st.st_dev == added_dev_ && st.st_ino == added_ino_) {
    remove(path);
  }
  backup_restore(path);
  if (first_new_dir_ > 0) RemoveNewDirectories(path, first_new_dir_);
}

int ConditionalAddAction::Parse(char* line) {
  test_path = get_valid_path(&line, false);
  if (!test_path) return kParseError;
  if (!next_token(kQuoteDelimiter, &line)) return kParseError;
  return AddAction::Parse(line);
}

int ConditionalAddAction::Prepare() {
  bool present = access(test_path, F_OK) == 0;
  if (present != add_if_present_) {
    test_path = nullptr;
    return kOk;
  }
  return AddAction::Prepare();
}

int ConditionalAddAction::Execute() { return test_path ? AddAction::Execute() : kOk; }

void ConditionalAddAction::Finish(int status) {
  if (test_path) AddAction::Finish(status);
}

AddPredecoder::AddPredecoder(ActionList* list) {
  for (Action* action = list->first(); action; action = action->next) {
    auto* add = dynamic_cast<AddAction*>(action);
    if (!add) continue;
    auto* conditional = dynamic_cast<ConditionalAddAction*>(add);
    if (conditional && !conditional->test_path) continue;
    add->predecoder_ = this;
    add->predecode_slot_ = slots_.size();
    slots_.push_back(Slot{add});
  }
}

AddPredecoder::~AddPredecoder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  for (size_t i = 0; i < slots_.size(); ++i) {
    char hidden[kPathBufferSize];
    if (slots_[i].state == State::kDecoded && HiddenPath(i, hidden, sizeof(hidden))) {
      remove(hidden);
    }
    slots_[i].action->predecoder_ = nullptr;
  }
}

int AddPredecoder::DefaultThreads() {
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return cpus <= 1 ? 0 : static_cast<int>(std::min(cpus, 2L));
}

void AddPredecoder::Start(int threads) {
  if (slots_.empty()) return;
  for (int i = 0; i < threads; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, DecoderMain, this) != 0) break;
    threads_.push_back(thread);
  }
}

void AddPredecoder::Claim(size_t slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (slots_[slot].state == State::kWaiting) slots_[slot].state = State::kTaken;
}

int AddPredecoder::Install(size_t i, const char* path) {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_[i];
  changed_.wait(lock, [&slot] { return slot.state != State::kDecoding; });
  const bool decoded = slot.state == State::kDecoded;
  if (decoded) ahead_bytes_ -= slot.bytes;
  slot.state = State::kTaken;
  lock.unlock();
  changed_.notify_all();

  if (decoded) {
    char hidden[kPathBufferSize];
    if (HiddenPath(i, hidden, sizeof(hidden))) {
      // The same file ExtractToFile would write: created by creat with the
      // entry's mode under the same umask, on the same file system.
      if (rename(hidden, path) == 0) return kOk;
      remove(hidden);
    }
  }
  return gArchiveReader.ExtractToFile(path, path);
}

bool AddPredecoder::HiddenPath(size_t slot, char* out, size_t size) const {
  int n = snprintf(out, size, "%s/updating/.add-%zu", applyToDir, slot);
  return n >= 0 && static_cast<size_t>(n) < size;
}

void* AddPredecoder::DecoderMain(void* self) {
  static_cast<AddPredecoder*>(self)->Decode();
  return nullptr;
}

void AddPredecoder::Decode() {
  ArchiveDecoder decoder(&gArchiveReader);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || ahead_bytes_ < kMaxAheadBytes; });
    while (next_ < slots_.size() && slots_[next_].state != State::kWaiting) ++next_;
    if (stop_ || next_ == slots_.size()) return;
    Slot& slot = slots_[next_];
    char hidden[kPathBufferSize];
    const bool named = HiddenPath(next_++, hidden, sizeof(hidden));
    slot.state = State::kDecoding;
    // Copied under the lock: once the action has claimed its slot it may cut
    // its path in place.
    const std::string name = slot.action->path;
    lock.unlock();

    struct stat st;
    bool ok = named && decoder.ExtractToFile(name.c_str(), hidden, &stop_) == kOk &&
              stat(hidden, &st) == 0;
    if (named && !ok) remove(hidden);

    lock.lock();
    slot.state = ok ? State::kDecoded : State::kFailed;
    if (ok) {
      slot.bytes = st.st_size;
      ahead_bytes_ += st.st_size;
    }
    changed_.notify_all();
  }
}

#include "builder/release.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "archive/qex.h"
#include "archive/qex_format.h"
#include "archive/qex_sign.h"
#include "base/error_codes.h"
#include "builder/files.h"
#include "builder/make_update.h"
#include "feed/feed.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// One archive of the release: the complete one when `from` is empty.
struct ReleaseArchive {
  std::string from;
  std::string old_dir;
  std::string staged;  // where its build writes it
  std::string log;     // what the build printed
  int status = kMakeUpdateFailed;
  FeedArchive entry;
};

std::string Quote(const std::string& s) {
  std::string quoted = "'";
  for (char c : s) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class Release {
 public:
  Release(const ReleaseOptions& options, FILE* out, FILE* err)
      : o_(options), out_(out), err_(err) {}
  ~Release() {
    if (!staging_.empty()) {
      RemoveTree(staging_);
      RemoveOnInterrupt("");
    }
  }

  int Build();
  int FeedStep();

 private:
  bool Fail(const std::string& message) const {
    fprintf(err_, "make-update: %s\n", message.c_str());
    return false;
  }
  void Note(const std::string& message) const {
    if (!o_.quiet) fprintf(out_, "make-update: %s\n", message.c_str());
  }
  bool CheckOptions(bool building);
  bool LoadFeed();
  bool EmitJobs();
  void BuildOne(ReleaseArchive* a);
  bool CheckArchive(const std::string& path, ReleaseArchive* a);
  bool WriteFeed();

  const ReleaseOptions& o_;
  FILE* out_;
  FILE* err_;
  QexKeys keys_;
  Feed feed_;
  std::string feed_path_;
  std::vector<ReleaseArchive> archives_;
  std::string staging_;
  std::mutex print_mutex_;
};

bool Release::CheckOptions(bool building) {
  if (!ReleaseNameIsValid(o_.version)) {
    return Fail("--product-version must be a name of 1 to 31 letters, digits, . _ + ~ -");
  }
  if (!ReleaseNameIsValid(o_.channel)) {
    return Fail("--channel must be a name of 1 to 31 letters, digits, . _ + ~ -");
  }
  if (!qex_app_id_is_valid(o_.app_id.c_str())) return Fail("a release needs a valid --app-id");
  if (o_.sign_keys.empty() || o_.sign_keys.size() > kQexMaxSignatures) {
    return Fail("a release needs 1 to 8 --sign keys");
  }
  if (o_.output_dir.empty()) return Fail("a release needs --output-dir");
  if (o_.rollout < 0 || o_.rollout > 100) return Fail("--rollout takes 0 to 100");
  if (o_.expires_in_days < 1) return Fail("--expires-in takes a number of days from 1");
  std::set<std::string> versions = {o_.version};
  for (const ReleaseSource& s : o_.sources) {
    if (!ReleaseNameIsValid(s.version)) return Fail("the old version " + s.version + " is no name");
    if (!versions.insert(s.version).second) {
      return Fail("the version " + s.version + " is given twice");
    }
    if (building && s.dir.empty()) return Fail("the old version " + s.version + " has no tree");
  }
  if (building && o_.new_dir.empty()) return Fail("a release needs the new tree");
  if (building && o_.verify && o_.sources.empty()) {
    return Fail("--verify needs an old tree to apply the complete archive to");
  }
  archives_.push_back({});
  for (const ReleaseSource& s : o_.sources) {
    ReleaseArchive a;
    a.from = s.version;
    a.old_dir = s.dir;
    archives_.push_back(a);
  }
  if (!o_.sources.empty()) archives_[0].old_dir = o_.sources[0].dir;
  return true;
}

// The feed already in the output directory is kept only when it verifies
// with the release's own keys: otherwise extending it would sign what
// someone else wrote.
bool Release::LoadFeed() {
  std::vector<const char*> paths;
  for (const std::string& key : o_.sign_keys) paths.push_back(key.c_str());
  keys_.reset(qex_read_private_keys(static_cast<int>(paths.size()), paths.data()));
  if (!keys_) return Fail("--sign takes 1 to 8 readable Ed25519 private keys");
  feed_path_ = JoinPath(o_.output_dir, o_.channel + ".json");
  struct stat st;
  if (lstat(feed_path_.c_str(), &st) != 0) {
    if (errno != ENOENT) return Fail("cannot examine " + feed_path_ + ": " + Errno());
    feed_.app_id = o_.app_id;
    feed_.channel = o_.channel;
    return true;
  }
  std::string bytes = ReadWholeFile(feed_path_), signature = ReadWholeFile(feed_path_ + ".sig");
  if (VerifyFeedSignature(bytes, signature, keys_.get()) != kOk) {
    return Fail(feed_path_ + " has no signature by the --sign keys; move it away to begin anew");
  }
  if (ParseFeed(bytes, &feed_) != kOk) return Fail(feed_path_ + " is no valid feed");
  if (feed_.app_id != o_.app_id || feed_.channel != o_.channel) {
    return Fail(feed_path_ + " is the feed of " + feed_.app_id + " on " + feed_.channel);
  }
  return true;
}

bool Release::EmitJobs() {
  std::string text;
  for (const ReleaseArchive& a : archives_) {
    std::string path = JoinPath(o_.output_dir, ReleaseArchivePath(o_.version, a.from));
    std::string cmd = "mkdir -p " + Quote(path.substr(0, path.rfind('/'))) + " && " +
                      Quote(o_.make_update) + " -q -j " + std::to_string(o_.threads) +
                      " --product-version " + Quote(o_.version) + " --channel " +
                      Quote(o_.channel) + " --app-id " + Quote(o_.app_id);
    for (const std::string& key : o_.sign_keys) cmd += " --sign " + Quote(key);
    if (o_.copy_links) cmd += " --copy-links";
    if (o_.verify) cmd += " --verify --updater " + Quote(o_.updater);
    cmd += " --output " + Quote(path);
    if (a.from.empty()) {
      cmd += " --full";
      if (o_.verify) cmd += " " + Quote(a.old_dir);
    } else {
      cmd += " --from-version " + Quote(a.from) + " " + Quote(a.old_dir);
    }
    text += cmd + " " + Quote(o_.new_dir) + "\n";
  }
  std::string error;
  if (!WriteTextFile(o_.emit_jobs, text, &error)) return Fail(error);
  // The feed step names what it needs by version alone, so it may run where
  // the trees are not.
  std::string feed = Quote(o_.make_update) + " release-feed --product-version " +
                     Quote(o_.version) + " --channel " + Quote(o_.channel) + " --app-id " +
                     Quote(o_.app_id) + " --output-dir " + Quote(o_.output_dir);
  for (const std::string& key : o_.sign_keys) feed += " --sign " + Quote(key);
  for (const ReleaseSource& s : o_.sources) feed += " --from " + Quote(s.version);
  feed += " --expires-in " + std::to_string(o_.expires_in_days) + " --rollout " +
          std::to_string(o_.rollout);
  if (!o_.min_updater.empty()) feed += " --min-updater " + Quote(o_.min_updater);
  if (!o_.notes_url.empty()) feed += " --notes-url " + Quote(o_.notes_url);
  Note("wrote " + std::to_string(archives_.size()) + " jobs to " + o_.emit_jobs +
       "; once they have run, write the feed with:");
  fprintf(out_, "%s\n", feed.c_str());
  return true;
}

// Runs on a thread of its own beside other builds: everything it prints is
// collected and shown at once when it ends.
void Release::BuildOne(ReleaseArchive* a) {
  MakeUpdateOptions m;
  m.old_dir = a->old_dir;
  m.new_dir = o_.new_dir;
  m.output = a->staged;
  m.channel = o_.channel;
  m.version = o_.version;
  m.from_version = a->from;
  m.app_id = o_.app_id;
  m.full = a->from.empty();
  m.copy_links = o_.copy_links;
  m.verify = o_.verify;
  m.updater = o_.updater;
  m.sign_keys = o_.sign_keys;
  m.jobs = o_.threads;
  m.quiet = o_.quiet;
  m.handle_interrupts = false;
  char* text = nullptr;
  size_t size = 0;
  FILE* log = open_memstream(&text, &size);
  a->status = MakeUpdate(m, log ? log : err_, log ? log : err_);
  if (log) fclose(log);
  if (text) a->log.assign(text, size);
  free(text);
  std::lock_guard<std::mutex> lock(print_mutex_);
  FILE* to = a->status == kMakeUpdateOk ? out_ : err_;
  if (!o_.quiet || a->status != kMakeUpdateOk) {
    fprintf(to, "make-update: %s archive %s:\n%s", a->from.empty() ? "the complete" : "the partial",
            ReleaseArchivePath(o_.version, a->from).c_str(), a->log.c_str());
    fflush(to);
  }
}

// The archive must be the one the feed will announce: signed by the keys,
// of this version, channel and application.
bool Release::CheckArchive(const std::string& path, ReleaseArchive* a) {
  if (qex_verify_archive(path.c_str(), keys_.get(), nullptr, nullptr) != QEX_VERIFIED) {
    return Fail(path + " has no signature by the --sign keys");
  }
  ProductInfo info = {};
  if (read_product_info_block(path.c_str(), &info) != 0) {
    return Fail(path + " has no product information");
  }
  bool same = o_.version == info.product_version && o_.channel == info.channel_id && info.app_id &&
              o_.app_id == info.app_id;
  qex_free_product_info(&info);
  if (!same)
    return Fail(path + " is not version " + o_.version + " of " + o_.app_id + " on " + o_.channel);
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !qex_file_sha256(fd.get(), &a->entry.sha256)) {
    return Fail("cannot read " + path + ": " + Errno());
  }
  a->entry.size = static_cast<uint64_t>(st.st_size);
  a->entry.url = ReleaseArchivePath(o_.version, a->from);
  return true;
}

bool Release::WriteFeed() {
  FeedRelease release;
  release.version = o_.version;
  release.min_updater = o_.min_updater;
  release.notes_url = o_.notes_url;
  release.rollout = o_.rollout;
  for (const ReleaseArchive& a : archives_) {
    if (a.from.empty()) {
      release.complete = a.entry;
    } else {
      release.partials.push_back({a.from, a.entry});
    }
  }
  auto& releases = feed_.releases;
  releases.erase(std::remove_if(releases.begin(), releases.end(),
                                [&](const FeedRelease& r) { return r.version == o_.version; }),
                 releases.end());
  releases.push_back(std::move(release));
  std::stable_sort(releases.begin(), releases.end(),
                   [](const FeedRelease& a, const FeedRelease& b) {
                     return compare_versions(a.version.c_str(), b.version.c_str()) > 0;
                   });
  feed_.created = static_cast<int64_t>(time(nullptr));
  feed_.expires = feed_.created + o_.expires_in_days * kSecondsPerDay;
  std::string bytes = SerializeFeed(feed_), signature, error;
  Feed check;
  if (ParseFeed(bytes, &check) != kOk) return Fail("the feed written would not read back");
  if (SignFeed(bytes, keys_.get(), &signature) != kOk) return Fail("cannot sign the feed");
  // The signature first: a client that fetches the pair between the two
  // renames sees a mismatch and asks again, never an unsigned feed.
  const std::pair<std::string, const std::string*> files[] = {{feed_path_ + ".sig", &signature},
                                                              {feed_path_, &bytes}};
  for (const auto& [path, text] : files) {
    std::string temporary = path + ".make-update";
    if (!WriteTextFile(temporary, *text, &error)) return Fail(error);
    if (rename(temporary.c_str(), path.c_str()) != 0) {
      unlink(temporary.c_str());
      return Fail("cannot rename " + temporary + " to " + path + ": " + Errno());
    }
  }
  Note("wrote " + feed_path_ + " and its signature: " + std::to_string(releases.size()) +
       " release(s), version " + o_.version + " with " + std::to_string(archives_.size() - 1) +
       " partial archive(s), expiring in " + std::to_string(o_.expires_in_days) + " days");
  return true;
}

int Release::Build() {
  if (!CheckOptions(true)) return kMakeUpdateFailed;
  if (mkdir(o_.output_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    Fail("cannot create " + o_.output_dir + ": " + Errno());
    return kMakeUpdateFailed;
  }
  if (!o_.emit_jobs.empty()) return EmitJobs() ? kMakeUpdateOk : kMakeUpdateFailed;
  if (!LoadFeed()) return kMakeUpdateFailed;
  std::string pattern = JoinPath(o_.output_dir, ".release-XXXXXX");
  if (mkdtemp(&pattern[0]) == nullptr) {
    Fail("cannot create a work directory in " + o_.output_dir + ": " + Errno());
    return kMakeUpdateFailed;
  }
  staging_ = pattern;
  RemoveOnInterrupt(staging_);
  for (size_t i = 0; i < archives_.size(); i++) {
    const std::string& path = ReleaseArchivePath(o_.version, archives_[i].from);
    archives_[i].staged = staging_ + path.substr(path.rfind('/'));
  }
  // Largest first would balance better, but the complete archive is the
  // slowest build of most releases and already comes first.
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  const int count = std::min(std::max(o_.parallel, 1), static_cast<int>(archives_.size()));
  for (int t = 0; t < count; t++) {
    workers.emplace_back([&] {
      for (size_t i; (i = next++) < archives_.size();) BuildOne(&archives_[i]);
    });
  }
  for (std::thread& w : workers) w.join();
  bool ok = true;
  for (ReleaseArchive& a : archives_) {
    if (a.status != kMakeUpdateOk) {
      ok = Fail("the build of " + ReleaseArchivePath(o_.version, a.from) + " failed");
    }
  }
  for (ReleaseArchive& a : archives_) ok = ok && CheckArchive(a.staged, &a);
  if (!ok) return kMakeUpdateFailed;
  std::string version_dir = JoinPath(o_.output_dir, o_.version);
  if (mkdir(version_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    Fail("cannot create " + version_dir + ": " + Errno());
    return kMakeUpdateFailed;
  }
  for (const ReleaseArchive& a : archives_) {
    std::string path = JoinPath(o_.output_dir, a.entry.url);
    if (rename(a.staged.c_str(), path.c_str()) != 0) {
      Fail("cannot rename " + a.staged + " to " + path + ": " + Errno());
      return kMakeUpdateFailed;
    }
  }
  return WriteFeed() ? kMakeUpdateOk : kMakeUpdateFailed;
}

int Release::FeedStep() {
  if (!CheckOptions(false) || !LoadFeed()) return kMakeUpdateFailed;
  for (ReleaseArchive& a : archives_) {
    if (!CheckArchive(JoinPath(o_.output_dir, ReleaseArchivePath(o_.version, a.from)), &a)) {
      return kMakeUpdateFailed;
    }
  }
  return WriteFeed() ? kMakeUpdateOk : kMakeUpdateFailed;
}

}  // namespace

bool ReleaseNameIsValid(const std::string& name) {
  if (name.empty() || name.size() > 31 || name[0] == '.' || name[0] == '-') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("._+~-", c) != nullptr);
  });
}

std::string ReleaseArchivePath(const std::string& version, const std::string& from) {
  return version + "/" + (from.empty() ? "complete.qex" : "from-" + from + ".qex");
}

int MakeRelease(const ReleaseOptions& options, FILE* out, FILE* err) {
  return Release(options, out, err).Build();
}

int WriteReleaseFeed(const ReleaseOptions& options, FILE* out, FILE* err) {
  return Release(options, out, err).FeedStep();
}

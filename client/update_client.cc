#include "client/update_client.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "archive/qex_sign.h"
#include "base/error_codes.h"
#include "base/json.h"
#include "base/owned_file.h"
#include "base/paths.h"
#include "client/transfer.h"
#include "feed/feed.h"

namespace {

constexpr char kArchiveName[] = "update.qex";
constexpr char kStatusName[] = "update.status";
// The private directory in which the updater is asked about a download
// before it gets its name.
constexpr char kCheckDirName[] = "update.qex.check";

std::string Copy(const char* s, const char* fallback = "") { return s ? s : fallback; }

// "update.qex.<first 16 hex digits of its SHA-256>.part": a download resumes
// only into the file it was begun for, never into another release's bytes.
std::string TemporaryName(const std::string& sha256) {
  return std::string(kArchiveName) + "." + sha256.substr(0, 16) + ".part";
}

bool IsTemporaryName(const char* name) {
  size_t n = strlen(name), prefix = strlen(kArchiveName);
  return n > prefix + 6 && strncmp(name, kArchiveName, prefix) == 0 && name[prefix] == '.' &&
         strcmp(name + n - 5, ".part") == 0;
}

// The first line of the small file `path`, "" when it cannot be read.
std::string FirstLines(const std::string& path, std::string* second) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "";
  char text[512] = {};
  ssize_t got = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (got <= 0) return "";
  std::string all(text, static_cast<size_t>(got));
  size_t end = all.find_first_of("\r\n");
  std::string first = all.substr(0, end);
  if (second) {
    size_t at = all.find_first_not_of("\r\n", end == std::string::npos ? all.size() : end);
    *second = at == std::string::npos ? "" : all.substr(at, all.find_first_of("\r\n", at) - at);
  }
  return first;
}

// Runs `argv` and waits for it; its standard output into `*out` when given.
// The exit status, 128 + the signal, or -1 when it cannot be started.
int RunProgram(const std::vector<std::string>& argv, std::string* out) {
  int pipe_fds[2] = {-1, -1};
  if (out && pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (out) dup2(pipe_fds[1], STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  if (out) {
    close(pipe_fds[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) != 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      out->append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
  }
  if (pid < 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status) == 127 ? -1 : WEXITSTATUS(status);
}

// Starts `argv` in a session of its own, not waiting for it: it outlives
// the client and the application that started it. False when it cannot be
// started.
bool StartDetached(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    if (fork() == 0) {
      // Its outcome goes to its status and log; nobody reads these.
      int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
      for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null_fd, fd);
      execv(args[0], args.data());
      int err = errno;
      (void)!write(pipe_fds[1], &err, sizeof(err));
      _exit(127);
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  // The exec closes the pipe; a failed one writes its errno first.
  int err = 0;
  ssize_t n = pid > 0 ? read(pipe_fds[0], &err, sizeof(err)) : -1;
  close(pipe_fds[0]);
  return pid > 0 && n == 0;
}

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Removes the check directory in the update directory `dir` with the link in
// it, never through a symbolic link: whoever owns the update directory may
// have put one there.
void RemoveCheckDir(int dir) {
  int check_fd = openat(dir, kCheckDirName, kDirectoryFlags);
  if (check_fd < 0) {
    unlinkat(dir, kCheckDirName, 0);  // anything else of that name
    return;
  }
  unlinkat(check_fd, kArchiveName, 0);
  close(check_fd);
  unlinkat(dir, kCheckDirName, AT_REMOVEDIR);
}

// The stable rollout bucket of this machine for `app_id`; 0 when the
// machine has no id, so it gets what every machine gets.
int MachineBucket(const std::string& app_id) {
  std::string id = FirstLines("/etc/machine-id", nullptr);
  return id.empty() ? 0 : FeedRolloutBucket(id, app_id);
}

}  // namespace

struct UpdateClient {
  std::string install_dir, update_dir, feed_url, keys_file, updater_path, channel, app_id,
      installed_version;
  TransferOptions transfer;
  int machine_bucket = -1;

  std::string error;
  // The last offer and the strings it points into.
  UpdateClientOffer offer = {};
  std::string version, from_version, url, sha256, notes_url;

  int Fail(int code, const std::string& message) {
    error = message;
    return code;
  }
  int Check(const UpdateClientOffer** out);
  int Download(const UpdateClientOffer& offer, UpdateClientProgress progress, void* closure);
  int AskUpdater(int dir, const std::string& temporary);
  int Apply(UpdateClientApplyMode mode, long pid, const char* const* relaunch, int count,
            char* status, int status_size);
};

int UpdateClient::Check(const UpdateClientOffer** out) {
  *out = nullptr;
  if (installed_version.empty()) {
    return Fail(kInstalledVersionError,
                "no installed version in " + install_dir + "/" + kInstalledVersionFile);
  }
  std::string feed_file = feed_url;
  if (feed_file.empty() || feed_file.back() != '/') feed_file += '/';
  feed_file += channel + ".json";
  std::string bytes, signature, why;
  int rv = FetchToString(feed_file, transfer, kMaxFeedSize, &bytes, &why);
  if (rv != kOk) return Fail(rv, feed_file + ": " + why);
  rv = FetchToString(feed_file + ".sig", transfer, kMaxFeedSignatureSize, &signature, &why);
  if (rv != kOk) return Fail(rv, feed_file + ".sig: " + why);

  QexKeys keys(qex_read_public_keys(keys_file.c_str()));
  if (!keys || qex_key_count(keys.get()) == 0) {
    return Fail(kKeysFileError, "no usable public key in " + keys_file);
  }
  if (VerifyFeedSignature(bytes, signature, keys.get()) != kOk) {
    return Fail(kFeedSignatureError, feed_file + ": no signature by a key of " + keys_file);
  }
  Feed feed;
  if (ParseFeed(bytes, &feed) != kOk) return Fail(kFeedParseError, feed_file + ": not a feed");
  FeedExpectation expect{app_id, channel, installed_version, static_cast<int64_t>(time(nullptr))};
  rv = CheckFeed(feed, expect);
  switch (rv) {
    case kOk:
      break;
    case kFeedOtherApplication:
      return Fail(rv, "the feed is for the application " + feed.app_id + ", not " + app_id);
    case kFeedOtherChannel:
      return Fail(rv, "the feed is for the channel " + feed.channel + ", not " + channel);
    case kFeedExpired:
      return Fail(rv, "the feed expired at " + std::to_string(feed.expires));
    case kFeedOlderThanInstalled:
      return Fail(rv, "the feed offers nothing as new as the installed " + installed_version);
    default:
      return Fail(rv, "the feed is refused");
  }
  int bucket = machine_bucket >= 0 ? machine_bucket : MachineBucket(app_id);
  FeedChoice choice = PickUpdate(feed, installed_version, bucket, UPDATER_VERSION);
  if (!choice.release) return kOk;
  if (!ResolveUrl(feed_file, choice.archive->url, &url)) {
    return Fail(kFeedParseError,
                "the feed names an archive at no usable URL: " + choice.archive->url);
  }
  version = choice.release->version;
  from_version = choice.partial ? installed_version : "";
  sha256 = choice.archive->sha256;
  notes_url = choice.release->notes_url;
  offer = {version.c_str(), from_version.c_str(), url.c_str(),
           sha256.c_str(),  notes_url.c_str(),    choice.archive->size};
  *out = &offer;
  return kOk;
}

// Asks the updater, with its own trust rules (the keys of the application,
// its id, channel and version; the manifest against the installation),
// whether it would apply the download `temporary` of the update directory
// `dir`: the download is linked as "update.qex" into a private directory
// that the updater checks. 0, or the updater's refusal.
int UpdateClient::AskUpdater(int dir, const std::string& temporary) {
  const std::string check_dir = update_dir + "/" + kCheckDirName;
  RemoveCheckDir(dir);
  int check_fd = -1;
  if (mkdir_owned_at(dir, kCheckDirName, 0700) != 0 ||
      (check_fd = openat(dir, kCheckDirName, kDirectoryFlags)) < 0 ||
      linkat(dir, temporary.c_str(), check_fd, kArchiveName, 0) != 0) {
    int err = errno;
    if (check_fd >= 0) close(check_fd);
    RemoveCheckDir(dir);
    return Fail(kWriteError, check_dir + ": " + strerror(err));
  }
  close(check_fd);
  std::string out;
  int exit_code = RunProgram({updater_path, "--check", "--json", check_dir, install_dir}, &out);
  RemoveCheckDir(dir);
  if (exit_code < 0) return Fail(kUpdaterNotRun, "cannot run " + updater_path);
  const JsonValue report = JsonValue::parse(out, nullptr, false);
  if (!report.is_object() || !report["would_succeed"].is_boolean()) {
    return Fail(kUpdaterNotRun, updater_path + " --check gave no report");
  }
  if (!report["would_succeed"].get<bool>()) {
    int code = report["result"].is_number_integer() ? report["result"].get<int>() : kUpdaterNotRun;
    std::string message = "the updater refuses the download";
    const JsonValue& problems = report["problems"];
    if (problems.is_array() && !problems.empty() && problems[0]["message"].is_string()) {
      message += ": " + problems[0]["message"].get<std::string>();
    } else if (report["error"].is_string()) {
      message += ": " + report["error"].get<std::string>();
    }
    return Fail(code, message);
  }
  const JsonValue& signature = report["signature"];
  if (!signature.is_object() || !signature["verified"].is_boolean() ||
      !signature["verified"].get<bool>()) {
    return Fail(kUnverifiedArchive, "the download is not signed by a key the updater trusts");
  }
  return kOk;
}

int UpdateClient::Download(const UpdateClientOffer& what, UpdateClientProgress progress,
                           void* closure) {
  if (!what.url || !what.sha256 || strlen(what.sha256) != 64) {
    return Fail(kFeedParseError, "no update to download");
  }
  // Made as its parents are, like "updates/0" below the installation.
  for (size_t at = update_dir.find('/', 1); at != std::string::npos;
       at = update_dir.find('/', at + 1)) {
    std::string part = update_dir.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return Fail(kWriteError, part + ": " + strerror(errno));
    }
  }
  if (mkdir(update_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return Fail(kWriteError, update_dir + ": " + strerror(errno));
  }
  int dir = open(update_dir.c_str(), kDirectoryFlags);
  if (dir < 0) return Fail(kReadError, update_dir + ": " + strerror(errno));
  struct DirCloser {
    int fd;
    ~DirCloser() { close(fd); }
  } dir_closer{dir};

  const std::string temporary = TemporaryName(what.sha256);
  // What other offers left is never resumed: remove it.
  if (int scan = dup(dir); scan >= 0) {
    if (DIR* entries = fdopendir(scan)) {
      while (struct dirent* entry = readdir(entries)) {
        if (IsTemporaryName(entry->d_name) && temporary != entry->d_name) {
          unlinkat(dir, entry->d_name, 0);
        }
      }
      closedir(entries);
    } else {
      close(scan);
    }
  }
  // The update already placed for this offer is not fetched again.
  int placed = openat(dir, kArchiveName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (placed >= 0) {
    std::string hash;
    bool same = qex_file_sha256(placed, &hash) && hash == what.sha256;
    close(placed);
    if (same) {
      unlinkat(dir, temporary.c_str(), 0);
      if (progress) progress(closure, what.size, what.size);
      return kOk;
    }
  }
  // Resumed only from a regular file of one name, so that nothing written
  // here lands in a file linked from elsewhere.
  int fd = openat(dir, temporary.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    // Made write-only; the hash needs to read it back.
    fd = open_owned_temp_at(dir, temporary.c_str(), 0644);
    if (fd >= 0) {
      close(fd);
      fd = openat(dir, temporary.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }
  }
  if (fd < 0) return Fail(kWriteError, update_dir + "/" + temporary + ": " + strerror(errno));
  std::string why;
  int rv = FetchToFile(what.url, transfer, fd, what.size, progress, closure, &why);
  std::string hash;
  if (rv == kOk && fsync(fd) != 0) {
    rv = kWriteError;
    why = std::string("cannot flush the download: ") + strerror(errno);
  } else if (rv == kOk && !qex_file_sha256(fd, &hash)) {
    rv = kReadError;
    why = std::string("cannot read the download: ") + strerror(errno);
  } else if (rv == kOk && hash != what.sha256) {
    rv = kDownloadMismatch;
    why = "its SHA-256 is " + hash + ", not the announced " + what.sha256;
  }
  off_t kept = lseek(fd, 0, SEEK_END);
  close(fd);
  if (rv == kOk) {
    rv = AskUpdater(dir, temporary);
  } else {
    error = std::string(what.url) + ": " + why;
  }
  if (rv != kOk) {
    // An interrupted transfer stays to be resumed; a refused file goes.
    bool resumable = (rv == kTransferFailed || rv == kTransferStalled) && kept > 0;
    if (!resumable) unlinkat(dir, temporary.c_str(), 0);
    return rv;
  }
  if (renameat(dir, temporary.c_str(), dir, kArchiveName) != 0 || fsync(dir) != 0) {
    return Fail(kWriteError, update_dir + "/" + kArchiveName + ": " + strerror(errno));
  }
  return kOk;
}

int UpdateClient::Apply(UpdateClientApplyMode mode, long pid, const char* const* relaunch,
                        int count, char* status, int status_size) {
  if (status_size > 0) status[0] = '\0';
  struct stat st;
  const std::string archive = update_dir + "/" + kArchiveName;
  if (mode != UPDATE_CLIENT_REPLACE && lstat(archive.c_str(), &st) != 0) {
    return Fail(kReadError, "no downloaded update: " + archive);
  }
  std::vector<std::string> argv{updater_path, update_dir};
  const std::string pid_text = std::to_string(pid > 0 ? pid : 0);
  if (mode == UPDATE_CLIENT_IN_PLACE) {
    argv.insert(argv.end(), {install_dir, pid_text});
    for (int i = 0; i < count; ++i) argv.push_back(relaunch[i]);
    if (!StartDetached(argv)) return Fail(kUpdaterNotRun, "cannot start " + updater_path);
    snprintf(status, status_size, "started");
    return kOk;
  }
  argv.push_back(install_dir + "/updated");
  argv.push_back(mode == UPDATE_CLIENT_STAGED ? "-1" : pid_text + "/replace");
  for (int i = 0; i < count && mode == UPDATE_CLIENT_REPLACE; ++i) argv.push_back(relaunch[i]);
  // A staged update's status goes, so that an updater that ends without
  // writing its own is not taken for a success; a replace request needs it.
  if (mode == UPDATE_CLIENT_STAGED) unlink((update_dir + "/" + kStatusName).c_str());
  if (RunProgram(argv, nullptr) < 0) return Fail(kUpdaterNotRun, "cannot run " + updater_path);
  std::string line = FirstLines(update_dir + "/" + kStatusName, nullptr);
  snprintf(status, status_size, "%s", line.c_str());
  if (line.empty()) return Fail(kUpdaterNotRun, "the updater left no status");
  int code = 0;
  if (sscanf(line.c_str(), "failed: %d", &code) == 1) {
    return Fail(code > 0 ? code : kUpdaterNotRun, "the updater failed: " + line);
  }
  return kOk;
}

extern "C" {

UpdateClient* update_client_create(const UpdateClientOptions* options) {
  if (!options || !options->install_dir || !options->feed_url) {
    return nullptr;
  }
  std::unique_ptr<UpdateClient> client(new (std::nothrow) UpdateClient);
  if (!client) return nullptr;
  client->install_dir = options->install_dir;
  while (client->install_dir.size() > 1 && client->install_dir.back() == '/') {
    client->install_dir.pop_back();
  }
  client->update_dir = Copy(options->update_dir, (client->install_dir + "/updates/0").c_str());
  client->feed_url = options->feed_url;
  client->updater_path = Copy(options->updater_path, "updater");
  client->channel = Copy(options->channel, "release");
  std::string recorded_id;
  std::string recorded =
      FirstLines(client->install_dir + "/" + kInstalledVersionFile, &recorded_id);
  client->app_id = Copy(options->app_id, recorded_id.c_str());
  client->installed_version = Copy(options->installed_version, recorded.c_str());
  if (options->keys_file) {
    client->keys_file = options->keys_file;
  } else if (options->system_config_dir) {
    client->keys_file =
        std::string(options->system_config_dir) + "/" + client->app_id + "/updater.keys";
  } else {
    client->keys_file = client->updater_path + ".keys";
  }
  client->transfer.ca_file = Copy(options->ca_file);
  if (options->connect_timeout > 0) client->transfer.connect_timeout = options->connect_timeout;
  if (options->stall_timeout > 0) client->transfer.stall_timeout = options->stall_timeout;
  client->machine_bucket = options->machine_bucket;
  return client.release();
}

void update_client_free(UpdateClient* client) { delete client; }

int update_client_check(UpdateClient* client, const UpdateClientOffer** offer) {
  client->error.clear();
  return client->Check(offer);
}

int update_client_download(UpdateClient* client, const UpdateClientOffer* offer,
                           UpdateClientProgress progress, void* closure) {
  client->error.clear();
  if (!offer) return client->Fail(kFeedParseError, "no update to download");
  return client->Download(*offer, progress, closure);
}

int update_client_apply(UpdateClient* client, UpdateClientApplyMode mode, long pid,
                        const char* const* relaunch, int relaunch_count, char* status,
                        int status_size) {
  client->error.clear();
  return client->Apply(mode, pid, relaunch, relaunch_count, status, status_size);
}

int update_client_status(UpdateClient* client, char* status, int status_size) {
  client->error.clear();
  const std::string path = client->update_dir + "/" + kStatusName;
  std::string line = FirstLines(path, nullptr);
  snprintf(status, status_size, "%s", line.c_str());
  return line.empty() ? client->Fail(kReadError, "no status in " + path) : kOk;
}

const char* update_client_error(const UpdateClient* client) { return client->error.c_str(); }

}  // extern "C"

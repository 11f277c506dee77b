#include "driver/verify_update.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "archive/archive_reader.h"
#include "archive/qex.h"
#include "archive/qex_format.h"
#include "archive/qex_sign.h"
#include "base/error_codes.h"
#include "base/paths.h"
#include "base/update_log.h"
#include "driver/run.h"
#include "driver/status.h"
#include "ui/program_path.h"
#include "ui/read_strings.h"

namespace {

// The keys and settings files of a run, and how strictly they are judged.
struct TrustFiles {
  char keys[kMaxPath] = "";
  char settings[kMaxPath] = "";
  bool packaged = false;  // root-owned files only; a keys file is required
};

// Opens the trusted file `path` for reading, never through a link and never
// blocking. The descriptor, or -1 with errno (ENOENT: missing) and `why`
// saying why it is not trusted: a link, writable by group or others, or
// owned by neither root nor (unless `root_only`) the user the updater runs
// as. Whoever could change such a file could choose the keys or settings of
// root's run.
int OpenTrustedFile(const char* path, bool root_only, const char** why) {
  *why = nullptr;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0) {
    int err = errno;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) *why = "it is a symbolic link";
    errno = err;
    return -1;
  }
  if (fstat(fd, &st) != 0) {
    *why = "it cannot be examined";
  } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    *why = "it is writable by group or others";
  } else if (root_only && st.st_uid != 0) {
    *why = "it is not owned by root";
  } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
    *why = "it is owned by neither root nor the user running the updater";
  }
  if (*why) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

// Why the directory `path` of a packaged updater's configuration cannot be
// trusted (a link, no directory, not root's, writable by others), or null.
// errno is ENOENT when it is missing.
const char* UntrustedDirectory(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT ? "it is missing" : "it cannot be examined";
  if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return "it is not a directory";
  if (st.st_uid != 0) return "it is not owned by root";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "it is writable by group or others";
  return nullptr;
}

// Picks the files of the run into `files`: beside the program, or in the
// configuration directory of the archive's application `app_id` (empty:
// none). 0, or the refusal, logged: 60 for an archive of no application, 61
// for a configuration that is missing or cannot be trusted.
int FindTrustFiles(const TrustSource& source, const std::string& app_id, TrustFiles* files) {
  if (!source.system_dir) {
    // A path that cannot be formed stays empty: the keys check refuses (61).
    if (!source.program->FormFileName(".keys", files->keys, sizeof(files->keys))) {
      files->keys[0] = '\0';
    }
    if (!source.program->FormFileName(".ini", files->settings, sizeof(files->settings))) {
      files->settings[0] = '\0';
    }
    return kOk;
  }
  files->packaged = true;
  if (app_id.empty()) {
    LOG("VerifyUpdate: refusing the archive: it names no application");
    return kUnverifiedArchive;
  }
  char dir[kMaxPath];
  int n = snprintf(dir, sizeof(dir), "%s/%s", source.system_dir, app_id.c_str());
  if (n < 0 || static_cast<size_t>(n) >= sizeof(dir)) return kKeysFileError;
  for (const char* d : {source.system_dir, static_cast<const char*>(dir)}) {
    if (const char* why = UntrustedDirectory(d)) {
      LOG("VerifyUpdate: no trusted configuration for %s: %s: %s", app_id.c_str(), d, why);
      return kKeysFileError;
    }
  }
  int keys = snprintf(files->keys, sizeof(files->keys), "%s/updater.keys", dir);
  int settings = snprintf(files->settings, sizeof(files->settings), "%s/updater.ini", dir);
  bool fits = keys > 0 && static_cast<size_t>(keys) < sizeof(files->keys) && settings > 0 &&
              static_cast<size_t>(settings) < sizeof(files->settings);
  return fits ? kOk : kKeysFileError;
}

// The [Settings] of the run: accepted channels (empty: any) and whether
// every update must be signed.
struct Settings {
  char channels[kIniValueSize] = "";
  bool require_signature = false;
  const char* refused_because = nullptr;  // why a file naming channels is not trusted
};

// Reads `files.settings` into `out` and, when it is trusted, names it in
// `trusted_path`. 0; 10 when there is no memory for the file; 22 when a
// file that cannot be trusted names accepted channels: they may have been
// changed, so no channel is accepted. Such a file without them is ignored,
// but its RequireSignature holds (it can only make the run stricter); a
// packaged updater refuses it outright (61).
int ReadSettings(const TrustFiles& files, Settings* out, std::string* trusted_path) {
  if (!files.settings[0]) return kOk;
  const char* why;
  int fd = OpenTrustedFile(files.settings, files.packaged, &why);
  if (fd < 0 && !why) return kOk;  // missing or unreadable: no settings
  if (why && files.packaged) {
    LOG("VerifyUpdate: refusing the settings file %s: %s", files.settings, why);
    return kKeysFileError;
  }
  static const char* const kChannels[] = {"AcceptedChannels"};
  static const char* const kRequire[] = {"RequireSignature"};
  char channels[1][kIniValueSize], require[1][kIniValueSize];
  // A key given twice still counts: its later value holds.
  int rv = fd >= 0 ? ReadIniSectionFrom(fd, kChannels, 1, channels, "Settings")
                   : ReadIniSection(files.settings, kChannels, 1, channels, "Settings");
  int required = fd >= 0 ? ReadIniSectionFrom(fd, kRequire, 1, require, "Settings")
                         : ReadIniSection(files.settings, kRequire, 1, require, "Settings");
  if (fd >= 0) close(fd);
  if (rv == kStringsNoMemory || required == kStringsNoMemory) return kStringsNoMemory;
  out->require_signature = required == kOk && strcmp(require[0], "0") != 0;
  if (why && rv == kOk) {
    // Logged when it decides the run: the signature check comes first.
    out->refused_because = why;
    return kChannelError;
  }
  if (why) {
    LOG("VerifyUpdate: ignoring the settings file %s: %s", files.settings, why);
    return kOk;
  }
  *trusted_path = files.settings;
  if (rv == kOk) snprintf(out->channels, sizeof(out->channels), "%s", channels[0]);
  return kOk;
}

// Whether every update must be signed: a keys file is installed (or its
// path is unknown), the updater is packaged, or the settings require it.
bool SignaturesRequired(const TrustFiles& files, const Settings& settings) {
  struct stat st;
  return files.packaged || settings.require_signature || !files.keys[0] ||
         lstat(files.keys, &st) == 0 || errno != ENOENT;
}

int CheckSignature(const char* archive, int archive_fd, const TrustFiles& files,
                   const Settings& settings, TrustReport* report) {
  const char* keys_path = files.keys;
  if (!keys_path[0]) {
    LOG("VerifyUpdate: cannot form the path of the keys file");
    return kKeysFileError;
  }
  const char* why;
  int fd = OpenTrustedFile(keys_path, files.packaged, &why);
  if (fd < 0 && errno == ENOENT && !files.packaged) {
    if (settings.require_signature) {
      LOG("VerifyUpdate: refusing %s: signatures are required and there is no keys file %s",
          archive, keys_path);
      return kUnverifiedArchive;
    }
    LOG("VerifyUpdate: no keys file %s, applying an unverified update", keys_path);
    return kOk;
  }
  if (why) {
    LOG("VerifyUpdate: refusing the keys file %s: %s", keys_path, why);
    return kKeysFileError;
  }
  report->keys_file = keys_path;
  QexKeys keys(fd >= 0 ? qex_read_public_keys_fd(fd) : nullptr);
  if (fd >= 0) {
    int err = errno;
    close(fd);
    errno = err;
  }
  if (!keys) {
    LOG("VerifyUpdate: cannot read the keys file %s, err: %d", keys_path, errno);
    return kKeysFileError;
  }
  if (qex_key_count(keys.get()) == 0) {
    LOG("VerifyUpdate: no usable public key in %s", keys_path);
    return kKeysFileError;
  }
  QexSignatureCheck checks[kQexMaxSignatures];
  uint32_t count = 0;
  int rv = qex_verify_archive_fd(archive_fd, keys.get(), checks, &count);
  int err = errno;
  switch (rv) {
    case QEX_VERIFIED:
      for (uint32_t i = 0; i < count; ++i) {
        if (checks[i].key >= 0) {
          LOG("VerifyUpdate: signature %u verified with key %d of %s", i + 1, checks[i].key + 1,
              keys_path);
          report->verified = true;
          report->key = checks[i].key + 1;
          break;
        }
      }
      return kOk;
    case QEX_UNREADABLE:
      LOG("VerifyUpdate: cannot read %s, err: %d", archive, err);
      return kReadError;
    case QEX_UNSIGNED:
      LOG("VerifyUpdate: refusing %s: it is not signed", archive);
      return kUnverifiedArchive;
    case QEX_MALFORMED:
      LOG("VerifyUpdate: refusing %s: it is cut off or its signature area is damaged", archive);
      return kUnverifiedArchive;
    default:
      LOG("VerifyUpdate: refusing %s: no signature verifies with a trusted key", archive);
      return kUnverifiedArchive;
  }
}

// Whether the installation directory holds anything at all: a directory
// made for this run is no installation yet.
bool InstallationExists(const char* install_dir) {
  DIR* dir = opendir(install_dir);
  if (!dir) return false;
  int entries = 0;
  while (entries < 3 && readdir(dir)) ++entries;
  closedir(dir);
  return entries > 2;  // more than "." and ".."
}

// The installed version, and the application id when recorded, into `report`;
// empty when none is recorded. The record is a line holding the version of 1
// to 31 bytes, then optionally a line holding a valid application id. 0, or
// 62 when the record exists but cannot be read, is not a regular file or not
// of that form, or when it is missing from an installation whose updates
// must be signed: deleting it must not let an older signed update in.
int ReadInstalledVersion(bool signatures_required, const char* install_dir, TrustReport* report) {
  char path[kMaxPath];
  if (!install_dir) return kOk;
  int n = snprintf(path, sizeof(path), "%s/%s", install_dir, kInstalledVersionFile);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return kOk;
  // Never through a link (it could show a line of any file in the log), and
  // never blocking on a FIFO.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    if (errno == ENOENT && signatures_required && InstallationExists(install_dir)) {
      LOG("VerifyUpdate: the installed version record is missing: %s", path);
      return kInstalledVersionError;
    }
    // No installation there yet: the run reports what it finds.
    return kOk;
  }
  char text[kQexMaxVersionLength + kQexMaxAppIdLength + 8] = {};
  ssize_t got = -1;
  struct stat st;
  int err = 0;
  if (fd < 0 || fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  } else {
    do {
      got = read(fd, text, sizeof(text) - 1);
    } while (got < 0 && errno == EINTR);
    if (got < 0) err = errno;
  }
  if (fd >= 0) close(fd);
  const size_t length = strcspn(text, "\r\n");
  const size_t id_at = length + strspn(text + length, "\r\n");
  const size_t id_length = strcspn(text + id_at, "\r\n");
  const std::string id(text + id_at, id_length);
  if (err != 0 || got == static_cast<ssize_t>(sizeof(text) - 1) || length == 0 ||
      length > kQexMaxVersionLength || (id_length && !qex_app_id_is_valid(id.c_str())) ||
      static_cast<ssize_t>(id_at + id_length + strspn(text + id_at + id_length, "\r\n")) != got) {
    LOG("VerifyUpdate: cannot read the installed version from %s, err: %d", path, err);
    return kInstalledVersionError;
  }
  report->installed_version.assign(text, length);
  report->installed_app_id = id;
  return kOk;
}

// The archive must belong to the installation's application: 0 or 63.
int CheckApplication(const char* install_dir, bool packaged, const TrustReport& report) {
  const std::string& ours = report.installed_app_id;
  if (!install_dir || ours == report.app_id) {
    // A packaged updater serves many applications: an installation must say
    // which one it is.
    if (!packaged || !ours.empty() || report.installed_version.empty()) return kOk;
  } else if (ours.empty() && !packaged) {
    return kOk;  // installed before applications were named
  }
  LOG("VerifyUpdate: refusing the application %s: the installation is %s",
      report.app_id.empty() ? "(none)" : report.app_id.c_str(),
      ours.empty() ? "(none)" : ours.c_str());
  return kApplicationMismatch;
}

int CheckChannelAndVersion(const char* archive, int archive_fd, const Settings& settings,
                           const TrustReport& report) {
  const char* channels = settings.channels;
  const std::string& installed = report.installed_version;
  if (!channels[0] && installed.empty()) return kOk;

  ArchiveReader reader;
  int rv = reader.OpenDescriptor(archive_fd);
  if (rv == kOk) {
    rv = reader.CheckProductInformation(channels, installed.empty() ? nullptr : installed.c_str());
  }
  reader.Close();
  if (rv == kProductInfoError) LOG("VerifyUpdate: %s has no readable product information", archive);
  if (rv == kChannelError) {
    LOG("VerifyUpdate: refusing the channel %s: the accepted channels are %s",
        report.channel.c_str(), channels);
  } else if (rv == kVersionError) {
    LOG("VerifyUpdate: refusing the version %s: older than the installed version %s",
        report.version.c_str(), installed.c_str());
  }
  return rv;
}

}  // namespace

int CheckUpdateTrust(const char* install_dir, const char* archive, int archive_fd,
                     const TrustSource& source, TrustReport* report) {
  TrustReport scratch;
  if (!report) report = &scratch;
  // What the archive says of itself; trusted only once a signature verifies
  // (the application id picks the keys, which then must verify it). An
  // archive without readable product information fails below when it
  // matters, as before.
  ProductInfo info = {};
  if (read_product_info_block_fd(archive_fd, &info) == 0) {
    report->channel = info.channel_id;
    report->version = info.product_version;
    if (info.app_id) report->app_id = info.app_id;
    qex_free_product_info(&info);
  } else if (source.system_dir) {
    // Without it there is no application to take keys from.
    struct stat st;
    if (archive_fd < 0 || fstat(archive_fd, &st) != 0) {
      LOG("VerifyUpdate: cannot read %s, err: %d", archive, archive_fd < 0 ? EBADF : errno);
      return kReadError;
    }
    LOG("VerifyUpdate: %s has no readable product information", archive);
    return kProductInfoError;
  }
  TrustFiles files;
  Settings settings;
  int rv = FindTrustFiles(source, report->app_id, &files);
  // A settings file that refuses channels does so after the signature check,
  // which may refuse first.
  int settings_rv = rv == kOk ? ReadSettings(files, &settings, &report->settings) : kOk;
  if (settings_rv == kStringsNoMemory || settings_rv == kKeysFileError) rv = settings_rv;
  if (rv == kOk) rv = CheckSignature(archive, archive_fd, files, settings, report);
  if (rv == kOk && settings_rv != kOk) {
    LOG("VerifyUpdate: refusing the settings file %s: %s", files.settings,
        settings.refused_because);
    rv = settings_rv;
  }
  if (rv == kOk) {
    rv = ReadInstalledVersion(SignaturesRequired(files, settings), install_dir, report);
  }
  if (rv == kOk) rv = CheckApplication(install_dir, files.packaged, *report);
  if (rv == kOk) rv = CheckChannelAndVersion(archive, archive_fd, settings, *report);
  return rv;
}

int VerifyUpdate(Run& run) {
  if (run.isReplaceRequest) return kOk;
  char archive[kMaxPath];
  int n = snprintf(archive, sizeof(archive), "%s/update.qex", run.updateDir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(archive)) return kOk;  // the run reports it
  TrustReport report;
  const TrustSource source{&run.programPath, run.systemConfigDir};
  int rv = CheckUpdateTrust(run.hasInstallDir ? run.installDir : nullptr, archive, run.archive,
                            source, &report);
  run.settingsFile = report.settings;
  if (rv != kOk) {
    LOG("failed: %d", rv);
    WriteStatusFailed(run, rv);
  }
  return rv;
}

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

// "<program><suffix>": the file beside the running executable, whatever name
// the updater was started by.
bool ProgramFile(const ProgramPath& program, const char* suffix, char (&out)[kMaxPath]) {
  return program.FormFileName(suffix, out, sizeof(out));
}

// Opens the program's own file `path` for reading, never through a link and
// never blocking. The descriptor, or -1 with errno (ENOENT: missing) and
// `why` saying why it is not trusted: a link, writable by group or others,
// or owned by neither root nor the user the updater runs as. Whoever could
// change such a file could choose the keys or settings of root's run.
int OpenProgramFile(const char* path, const char** why) {
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

// Whether a keys file is installed, so that every update must be signed.
bool SignaturesRequired(const ProgramPath& program) {
  char keys_path[kMaxPath];
  struct stat st;
  return !ProgramFile(program, ".keys", keys_path) || lstat(keys_path, &st) == 0 || errno != ENOENT;
}

int CheckSignature(const char* archive, int archive_fd, const ProgramPath& program) {
  char keys_path[kMaxPath];
  if (!ProgramFile(program, ".keys", keys_path)) {
    LOG("VerifyUpdate: cannot form the path of the keys file");
    return kKeysFileError;
  }
  const char* why;
  int fd = OpenProgramFile(keys_path, &why);
  if (fd < 0 && errno == ENOENT) {
    LOG("VerifyUpdate: no keys file %s, applying an unverified update", keys_path);
    return kOk;
  }
  if (why) {
    LOG("VerifyUpdate: refusing the keys file %s: %s", keys_path, why);
    return kKeysFileError;
  }
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

// The accepted channels from "<program>.ini" into `out`; empty when none are
// configured. 0; 10 when there is no memory for the file; 22 when a settings
// file that cannot be trusted (see OpenProgramFile) names accepted channels:
// they may have been changed, so no channel is accepted. Such a file without
// them is ignored.
int ReadAcceptedChannels(const ProgramPath& program, char (&out)[kIniValueSize]) {
  out[0] = '\0';
  char ini[kMaxPath];
  if (!ProgramFile(program, ".ini", ini)) return kOk;
  static const char* const kKeys[] = {"AcceptedChannels"};
  char values[1][kIniValueSize];
  const char* why;
  int fd = OpenProgramFile(ini, &why);
  if (fd < 0 && !why) return kOk;  // missing or unreadable: no settings
  // A key given twice still counts: its later value holds.
  int rv = fd >= 0 ? ReadIniSectionFrom(fd, kKeys, 1, values, "Settings")
                   : ReadIniSection(ini, kKeys, 1, values, "Settings");
  if (fd >= 0) close(fd);
  if (rv == kStringsNoMemory) return rv;
  if (why) {
    bool names_channels = rv == kOk;
    LOG("VerifyUpdate: %s the settings file %s: %s", names_channels ? "refusing" : "ignoring", ini,
        why);
    return names_channels ? kChannelError : kOk;
  }
  snprintf(out, sizeof(out), "%s", values[0]);
  return kOk;
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

// The installed version into `out`; empty when none is recorded. 0, or 62
// when the record exists but cannot be read, is not a regular file or is not
// one line holding a version of 1 to 31 bytes, or when it is missing from an
// installation whose updates must be signed: deleting it must not let an
// older signed update in.
int ReadInstalledVersion(const ProgramPath& program, const char* install_dir,
                         char (&out)[kQexMaxVersionLength + 1]) {
  out[0] = '\0';
  char path[kMaxPath];
  if (!install_dir) return kOk;
  int n = snprintf(path, sizeof(path), "%s/%s", install_dir, kInstalledVersionFile);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return kOk;
  // Never through a link (it could show a line of any file in the log), and
  // never blocking on a FIFO.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    if (errno == ENOENT && SignaturesRequired(program) && InstallationExists(install_dir)) {
      LOG("VerifyUpdate: the installed version record is missing: %s", path);
      return kInstalledVersionError;
    }
    // No installation there yet: the run reports what it finds.
    return kOk;
  }
  char text[64] = {};
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
  size_t length = strcspn(text, "\r\n");
  if (err != 0 || got == static_cast<ssize_t>(sizeof(text) - 1) || length == 0 ||
      length > kQexMaxVersionLength ||
      static_cast<ssize_t>(length + strspn(text + length, "\r\n")) != got) {
    LOG("VerifyUpdate: cannot read the installed version from %s, err: %d", path, err);
    return kInstalledVersionError;
  }
  memcpy(out, text, length);
  out[length] = '\0';
  return kOk;
}

int CheckChannelAndVersion(const char* install_dir, const char* archive, int archive_fd,
                           const ProgramPath& program) {
  char channels[kIniValueSize];
  char installed[kQexMaxVersionLength + 1];
  int rv = ReadAcceptedChannels(program, channels);
  if (rv == kOk) rv = ReadInstalledVersion(program, install_dir, installed);
  if (rv != kOk || (!channels[0] && !installed[0])) return rv;

  ArchiveReader reader;
  rv = reader.OpenDescriptor(archive_fd);
  if (rv == kOk) rv = reader.CheckProductInformation(channels, installed[0] ? installed : nullptr);
  reader.Close();
  if (rv == kProductInfoError) LOG("VerifyUpdate: %s has no readable product information", archive);
  ProductInfo info = {};
  if ((rv == kChannelError || rv == kVersionError) &&
      read_product_info_block_fd(archive_fd, &info) == 0) {
    if (rv == kChannelError) {
      LOG("VerifyUpdate: refusing the channel %s: the accepted channels are %s", info.channel_id,
          channels);
    } else {
      LOG("VerifyUpdate: refusing the version %s: older than the installed version %s",
          info.product_version, installed);
    }
    qex_free_product_info(&info);
  }
  return rv;
}

}  // namespace

int CheckUpdateTrust(const char* install_dir, const char* archive, int archive_fd,
                     const ProgramPath& program) {
  int rv = CheckSignature(archive, archive_fd, program);
  return rv == kOk ? CheckChannelAndVersion(install_dir, archive, archive_fd, program) : rv;
}

int VerifyUpdate(Run& run) {
  if (run.isReplaceRequest) return kOk;
  char archive[kMaxPath];
  int n = snprintf(archive, sizeof(archive), "%s/update.qex", run.updateDir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(archive)) return kOk;  // the run reports it
  int rv = CheckUpdateTrust(run.hasInstallDir ? run.installDir : nullptr, archive, run.archive,
                            run.programPath);
  if (rv != kOk) {
    LOG("failed: %d", rv);
    WriteStatusFailed(run, rv);
  }
  return rv;
}

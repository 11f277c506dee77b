#include "driver/verify_update.h"

#include <errno.h>
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
#include "base/run_settings.h"
#include "base/update_log.h"
#include "driver/status.h"
#include "driver/update_run.h"
#include "ui/progress_ui.h"
#include "ui/read_strings.h"

namespace {

// The name the program was started by (argv[0]).
const char* program_name = nullptr;

// "<program><suffix>", as the strings file is found. A program started
// through PATH has no directory in its name; the file beside it is then found
// through the executable itself, never in whatever directory the updater was
// started in.
bool ProgramFile(const char* suffix, char (&out)[kMaxPath]) {
  char program[kMaxPath];
  if (program_name && !strchr(program_name, '/')) {
    ssize_t n = readlink("/proc/self/exe", program, sizeof(program) - 1);
    if (n <= 0) return false;
    program[n] = '\0';
  } else if (!FormProgramFileName("", program, sizeof(program))) {
    return false;
  }
  int n = snprintf(out, sizeof(out), "%s%s", program, suffix);
  return n >= 0 && static_cast<size_t>(n) < sizeof(out);
}

int CheckSignature(const char* archive) {
  char keys_path[kMaxPath];
  struct stat st;
  if (!ProgramFile(".keys", keys_path)) {
    LOG("VerifyUpdate: cannot form the path of the keys file");
    return kKeysFileError;
  }
  if (stat(keys_path, &st) != 0 && errno == ENOENT) {
    LOG("VerifyUpdate: no keys file %s, applying an unverified update", keys_path);
    return kOk;
  }
  QexKeys keys(qex_read_public_keys(keys_path));
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
  int rv = qex_verify_archive(archive, keys.get(), checks, &count);
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
// configured. 0, or 10 when there is no memory for the file.
int ReadAcceptedChannels(char (&out)[kIniValueSize]) {
  out[0] = '\0';
  char ini[kMaxPath];
  if (!ProgramFile(".ini", ini)) return kOk;
  static const char* const kKeys[] = {"AcceptedChannels"};
  char values[1][kIniValueSize];
  // A key given twice still counts: its later value holds.
  int rv = ReadIniSection(ini, kKeys, 1, values, "Settings");
  if (rv == kStringsNoMemory) return rv;
  snprintf(out, sizeof(out), "%s", values[0]);
  return kOk;
}

// The installed version into `out`; empty when none is recorded. 0, or 62
// when the record exists but cannot be read or is not one line holding a
// version of 1 to 31 bytes.
int ReadInstalledVersion(char (&out)[kQexMaxVersionLength + 1]) {
  out[0] = '\0';
  char install_dir[kMaxPath], path[kMaxPath];
  if (!ComputeInstallDir(install_dir)) return kOk;
  int n = snprintf(path, sizeof(path), "%s/%s", install_dir, kInstalledVersionFile);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return kOk;
  FILE* f = fopen(path, "rb");
  // No installation there yet: the run reports what it finds.
  if (!f && (errno == ENOENT || errno == ENOTDIR)) return kOk;
  char text[64] = {};
  size_t got = f ? fread(text, 1, sizeof(text) - 1, f) : 0;
  int err = !f || ferror(f) ? errno : 0;
  if (f) fclose(f);
  size_t length = strcspn(text, "\r\n");
  if (err != 0 || got == sizeof(text) - 1 || length == 0 || length > kQexMaxVersionLength ||
      length + strspn(text + length, "\r\n") != got) {
    LOG("VerifyUpdate: cannot read the installed version from %s, err: %d", path, err);
    return kInstalledVersionError;
  }
  memcpy(out, text, length);
  out[length] = '\0';
  return kOk;
}

int CheckChannelAndVersion(const char* archive) {
  char channels[kIniValueSize];
  char installed[kQexMaxVersionLength + 1];
  int rv = ReadAcceptedChannels(channels);
  if (rv == kOk) rv = ReadInstalledVersion(installed);
  if (rv != kOk || (!channels[0] && !installed[0])) return rv;

  rv = gArchiveReader.Open(archive);
  if (rv == kOk) {
    rv = gArchiveReader.CheckProductInformation(channels, installed[0] ? installed : nullptr);
  }
  gArchiveReader.Close();
  if (rv == kProductInfoError) LOG("VerifyUpdate: %s has no readable product information", archive);
  ProductInfo info = {};
  if ((rv == kChannelError || rv == kVersionError) &&
      read_product_info_block(archive, &info) == 0) {
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

int CheckUpdateTrust(const char* program, const char* archive) {
  program_name = program;
  int rv = CheckSignature(archive);
  return rv == kOk ? CheckChannelAndVersion(archive) : rv;
}

int VerifyUpdate(const char* program) {
  if (isReplaceRequest) return kOk;
  char archive[kMaxPath];
  int n = snprintf(archive, sizeof(archive), "%s/update.qex", updateDir);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(archive)) return kOk;  // the run reports it
  int rv = CheckUpdateTrust(program, archive);
  if (rv != kOk) {
    LOG("failed: %d", rv);
    WriteStatusFailed(rv);
  }
  return rv;
}

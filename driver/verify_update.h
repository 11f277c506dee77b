// What the updater checks before a run changes anything: that the release
// team of the application signed the archive, for this application and an
// accepted channel, and that it is not older than the installation.
#ifndef UPDATER_DRIVER_VERIFY_UPDATE_H_
#define UPDATER_DRIVER_VERIFY_UPDATE_H_

#include <string>

class ProgramPath;
struct Run;

// Where the keys and settings of a run come from (doc/design.md, "Trust").
// - embedded (system_dir null): "<program>.keys" and "<program>.ini" beside
//   the running executable, never found through the name it was started by.
//   Such a file is trusted only when it is no symbolic link, no one but its
//   owner may write it and its owner is root or the user the updater runs as.
// - packaged (system_dir set, a build-time choice): "updater.keys" and
//   "updater.ini" in "<system_dir>/<app-id>/" of the application the archive
//   names. That directory, system_dir and the files must be no links, owned
//   by root and writable by no one else; the keys file must be there. So an
//   update is applied only when signed by a key its own application trusts.
struct TrustSource {
  const ProgramPath* program = nullptr;
  const char* system_dir = nullptr;
};

// What the checks found, for the dry run's report and the window title.
// Strings are empty when unknown or absent.
struct TrustReport {
  bool verified = false;                 // a signature verified with a trusted key
  int key = 0;                           // that key's place in the keys file, from 1; 0: none
  std::string keys_file;                 // the keys file that was read
  std::string settings;                  // the settings file of the application, when trusted
  std::string app_id, channel, version;  // the archive's
  std::string installed_app_id, installed_version;
};

// Checks "<run.updateDir>/update.qex" of an ordinary or staged update (a
// replace request only swaps in what a checked staged update made), with the
// keys and settings of run.trustSource:
// - with a keys file, one of its keys must verify a signature of the archive
//   (else 60); a keys file that is not trusted, cannot be read or holds no
//   usable key refuses every update (61). Without that file an embedded
//   updater applies the update unverified, as the log says, unless its
//   settings say "RequireSignature=1" (then 60); a packaged one refuses (61),
//   and refuses an archive that names no application (60).
// - the archive's application id must be the one the installation records
//   (63); an archive without one fits an installation without one. A
//   packaged updater requires the record to name the application.
// - with "AcceptedChannels" in the [Settings] section of the settings, the
//   archive's channel must be one of them (22); a settings file that is not
//   trusted and names accepted channels refuses every update (22), one that
//   names none is ignored, though its "RequireSignature" still counts. With
//   the installed version recorded in "<run.installDir>/product-version", the
//   archive's version must not be older (23). A record that cannot be read
//   or is no regular file refuses the update (62), and so does a missing
//   record when updates must be signed and the installation holds anything.
// The archive is read from run.archive (OpenUpdateArchive), the descriptor
// every later read of the run uses. Sets run.settingsFile to the trusted
// settings file of the application (the window's strings).
// 0 when the run may go on; otherwise the refusal is logged, the status
// "failed: N\n" written and N returned.
int VerifyUpdate(Run& run);

// The same checks of the archive open on `archive_fd` (named `archive` in the
// log) against the installation in `install_dir` (null: none known), logged
// but without a status: 0 or the code VerifyUpdate would return. `report`
// (optional) receives what was found, also on a refusal.
int CheckUpdateTrust(const char* install_dir, const char* archive, int archive_fd,
                     const TrustSource& source, TrustReport* report);

#endif  // UPDATER_DRIVER_VERIFY_UPDATE_H_

// What the updater checks before a run changes anything: that the release
// team signed the archive, for an accepted channel, and that it is not older
// than the installation.
#ifndef UPDATER_DRIVER_VERIFY_UPDATE_H_
#define UPDATER_DRIVER_VERIFY_UPDATE_H_

class ProgramPath;
struct Run;

// Checks "<run.updateDir>/update.qex" of an ordinary or staged update (a
// replace request only swaps in what a checked staged update made). The files
// beside the program are those beside the running executable
// (run.programPath), never
// found through the name it was started by. Such a file is trusted only when
// it is no symbolic link, no one but its owner may write it and its owner is
// root or the user the updater runs as.
// - with a keys file "<program>.keys" (one or more PEM Ed25519 public keys),
//   one of its keys must verify a signature of the archive (else 60); a keys
//   file that is not trusted, cannot be read or holds no usable key refuses
//   every update (61). Without that file the update is applied unverified,
//   as the log says.
// - with "AcceptedChannels" in the [Settings] section of "<program>.ini", the
//   archive's channel must be one of them (22); a settings file that is not
//   trusted and names accepted channels refuses every update (22), one that
//   names none is ignored. With the installed version recorded in
//   "<run.installDir>/product-version", the archive's version must not be
//   older (23). A record that cannot be read or is no regular file refuses
//   the update (62), and so does a missing record when a keys file is
//   installed and the installation holds anything.
// The archive is read from run.archive (OpenUpdateArchive), the descriptor
// every later read of the run uses.
// 0 when the run may go on; otherwise the refusal is logged, the status
// "failed: N\n" written and N returned.
int VerifyUpdate(Run& run);

// The same checks of the archive open on `archive_fd` (named `archive` in the
// log) against the installation in `install_dir` (null: none known), with the
// files beside `program`, logged but without a status: 0 or the code
// VerifyUpdate would return.
int CheckUpdateTrust(const char* install_dir, const char* archive, int archive_fd,
                     const ProgramPath& program);

#endif  // UPDATER_DRIVER_VERIFY_UPDATE_H_

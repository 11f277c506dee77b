// What the updater checks before a run changes anything: that the release
// team signed the archive, for an accepted channel, and that it is not older
// than the installation.
#ifndef UPDATER_DRIVER_VERIFY_UPDATE_H_
#define UPDATER_DRIVER_VERIFY_UPDATE_H_

// Checks "<updateDir>/update.qex" of an ordinary or staged update (a replace
// request only swaps in what a checked staged update made):
// `program` is the name the updater was started by (argv[0]); the files
// beside it are found as the strings file is (ui/progress_ui.h).
// - with a keys file "<program>.keys" beside the program (one or more PEM
//   Ed25519 public keys), one of its keys must verify a signature of the
//   archive (else 60); a keys file that cannot be read or holds no usable key
//   refuses every update (61). Without that file the update is applied
//   unverified, as the log says.
// - with "AcceptedChannels" in the [Settings] section of "<program>.ini", the
//   archive's channel must be one of them (22); with the installed version
//   recorded in "<installation>/product-version", the archive's version must
//   not be older (23). A record that cannot be read refuses the update (62).
// 0 when the run may go on; otherwise the refusal is logged, the status
// "failed: N\n" written and N returned.
int VerifyUpdate(const char* program);

// The same checks of `archive` against the installation in applyToDir,
// logged but without a status: 0 or the code VerifyUpdate would return.
int CheckUpdateTrust(const char* program, const char* archive);

#endif  // UPDATER_DRIVER_VERIFY_UPDATE_H_

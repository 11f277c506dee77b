// Building update archives from two installation trees.
//
// A complete update carries every file of the new tree and a "precomplete"
// file that lists them, so that the next complete update removes them first.
// A partial update carries only what changed: a QXPATCH1 patch where its
// compressed size beats the compressed file, the whole file otherwise, and
// removals for what is gone. Every entry is stored as one bzip2 stream.
//
// The steps have headers of their own: builder/scan.h (reading the trees),
// builder/plan.h (what the manifest says), builder/write.h (compressing and
// diffing on a pool of threads, writing the archive), builder/verify.h
// (applying the archive to a scratch copy).
#ifndef UPDATER_BUILDER_MAKE_UPDATE_H_
#define UPDATER_BUILDER_MAKE_UPDATE_H_

#include <cstdio>
#include <string>
#include <vector>

struct MakeUpdateOptions {
  std::string old_dir;  // may be empty for a complete update without --verify
  std::string new_dir;
  std::string output = "update.qex";
  std::string channel = "release";
  std::string version;
  std::string from_version;  // the product version of the old tree, when known
  std::string app_id;        // the application id (qex_app_id_is_valid); "" for none
  bool full = false;
  // Write the first installation's own files into new_dir instead of an archive.
  bool first_install = false;
  // Store a symbolic link to a regular file as a copy of that file and leave
  // dangling links out; without it every link is refused.
  bool copy_links = false;
  bool verify = false;
  std::string updater;  // the updater program for verify
  // Ed25519 private keys (PEM files) that sign the archive; none: unsigned.
  std::vector<std::string> sign_keys;
  int jobs = 0;        // worker threads; 0 means one per processor
  bool quiet = false;  // problems only: no notes, no progress
  std::string json;    // where to write the summary for machines; "" for none
  // Remove the work directory on SIGINT and SIGTERM. Off for builds that run
  // side by side: the handler is the process's, so their caller removes
  // the directory they all work in (RemoveOnInterrupt).
  bool handle_interrupts = true;
};

// Exit statuses of make-update.
enum MakeUpdateExit { kMakeUpdateOk = 0, kMakeUpdateFailed = 1, kMakeUpdateNothingToDo = 3 };

// The whole tool: plans, builds and, if asked, signs and verifies the
// update. Progress and notes go to `out`, problems to `err`. A
// MakeUpdateExit. A work directory beside the output holds the staged
// entries and the archive being made, and goes away at the end, also on
// SIGINT or SIGTERM; the archive is renamed to the output only on success,
// so a failure leaves the output path as it was. The summary for machines
// (`json`) is written whatever the exit status. A failed verification keeps
// its scratch copy in "<output>.verify".
int MakeUpdate(const MakeUpdateOptions& options, FILE* out, FILE* err);

// The files an installer lays down with the first release, written into the
// release tree `options.new_dir`: the version record (base/paths.h, with
// `options.app_id` when given) and the precomplete file listing every file,
// link and directory of the tree, itself and the record included, so that
// the first complete update removes what the next version drops. Each
// replaces any file of its name through a rename. Notes go to `out`,
// problems to `err`; kMakeUpdateOk or kMakeUpdateFailed.
int WriteFirstInstallFiles(const MakeUpdateOptions& options, FILE* out, FILE* err);

// From now on SIGINT and SIGTERM remove `dir` (its whole tree) and then end
// the process by that signal; "" gives both their default action back.
void RemoveOnInterrupt(const std::string& dir);

#endif  // UPDATER_BUILDER_MAKE_UPDATE_H_

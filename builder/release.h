// The release builder: every archive of one new version (the complete one
// and a partial one from each older version) and the signed feed that offers
// them (feed/feed.h), in an output directory a static web server can serve:
//
//   <dir>/<channel>.json, <dir>/<channel>.json.sig
//   <dir>/<version>/complete.qex, <dir>/<version>/from-<old version>.qex
//
// The feed's URLs are relative to the feed, so the directory can move.
#ifndef UPDATER_BUILDER_RELEASE_H_
#define UPDATER_BUILDER_RELEASE_H_

#include <cstdio>
#include <string>
#include <vector>

// An older version to update from: its tree (empty for the feed step, which
// reads only archives) and its product version.
struct ReleaseSource {
  std::string dir;
  std::string version;
};

struct ReleaseOptions {
  std::string new_dir;  // unused by the feed step
  std::string version;
  std::vector<ReleaseSource> sources;
  std::string output_dir;
  std::string app_id;  // required: the feed names its application
  std::string channel = "release";
  std::vector<std::string> sign_keys;  // 1 to 8 Ed25519 private keys, required
  int parallel = 1;                    // archives built at once
  int threads = 1;                     // worker threads of each build
  bool verify = false;                 // apply each archive to a copy of its old tree
  std::string updater;                 // the updater program for verify
  bool copy_links = false;
  bool quiet = false;
  std::string min_updater;  // "" for none
  std::string notes_url;    // "" for none
  int rollout = 100;
  int expires_in_days = 30;
  // Write one shell command per archive to this file instead of building.
  std::string emit_jobs;
  std::string make_update;  // the program the emitted commands run
};

// True for a version or channel the builder can use as a file name: 1 to 31
// bytes of ASCII letters, digits, '.', '_', '+', '~' and '-', not beginning
// with '.' or '-'.
bool ReleaseNameIsValid(const std::string& name);

// Where an archive of `version` lies below the output directory: the
// complete archive for an empty `from`, else the partial one from `from`.
std::string ReleaseArchivePath(const std::string& version, const std::string& from);

// `make-update release`: checks the options, reads the keys and the feed
// already in the output directory (which must verify with the keys and
// name the same application and channel), then builds every archive of the
// release on `parallel` builds at once, each signed and (with `verify`)
// applied to a copy of its old tree; the complete archive is applied to the
// first old tree. Each archive's signature, version, channel and
// application are then checked, the archives are moved into place, and the
// feed is written with this release added (an entry of the same version is
// replaced; the others stay), newest first, expiring `expires_in_days`
// after now. A failure leaves the output directory as it was. With
// `emit_jobs`, nothing is built: the file receives one independent command
// per archive and `out` the command of the feed step. Notes go to `out`,
// problems to `err`; 0 or 1.
int MakeRelease(const ReleaseOptions& options, FILE* out, FILE* err);

// `make-update release-feed`: the feed step after the emitted jobs ran. The
// archives of `version` from each source version must be in place in the
// output directory; they are checked as MakeRelease checks them and the
// feed is written the same way. 0 or 1.
int WriteReleaseFeed(const ReleaseOptions& options, FILE* out, FILE* err);

#endif  // UPDATER_BUILDER_RELEASE_H_

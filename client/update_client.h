// The update client: finds an update in the application's signed feed,
// downloads it into the update directory and starts the updater on it. A
// plain C interface in the style of the archive library (archive/qex.h):
// create/free pairs, integer result codes (base/error_codes.h, the codes of
// update-client(1)), no exceptions. Transfers go through libcurl, which
// takes proxies from the environment as curl does and the system's CA store
// unless a CA file is given. One client serves one thread at a time.
#ifndef UPDATER_CLIENT_UPDATE_CLIENT_H_
#define UPDATER_CLIENT_UPDATE_CLIENT_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// What a client works on. The strings are copied by update_client_create.
typedef struct UpdateClientOptions {
  // The installation; its "product-version" gives the installed version and
  // application id unless they are given below.
  const char* install_dir;
  // Where the archive goes; null: "<install_dir>/updates/0".
  const char* update_dir;
  // The URL of the directory that serves the feed: "<feed_url>/<channel>.json"
  // and its signature "<channel>.json.sig". Archive URLs in the feed are
  // relative to the feed file.
  const char* feed_url;
  // The release keys (PEM) that must sign the feed; null: the updater's,
  // "<system_config_dir>/<app_id>/updater.keys" of a packaged updater, else
  // "<updater_path>.keys" beside an embedded one (updater(1)).
  const char* keys_file;
  // The configuration directory of a packaged updater; null: embedded.
  const char* system_config_dir;
  // The updater program, started by update_client_apply and asked
  // ("--check --json") whether a downloaded archive is trusted.
  const char* updater_path;
  const char* channel;            // null: "release", as make-update names it
  const char* app_id;             // null: from the installation's record
  const char* installed_version;  // null: from the installation's record
  const char* ca_file;            // null: the system's CA store
  long connect_timeout;           // seconds; 0: 30
  // A transfer slower than one byte a second for this many seconds is
  // abandoned; 0: 30.
  long stall_timeout;
  // The machine's rollout bucket 0..99; -1: from /etc/machine-id, stable
  // across runs.
  int machine_bucket;
} UpdateClientOptions;

typedef struct UpdateClient UpdateClient;

// The update the feed offers this installation. Strings are owned by the
// client and valid until the next update_client_check or update_client_free.
typedef struct UpdateClientOffer {
  const char* version;
  const char* from_version;  // "" for the complete archive
  const char* url;           // absolute, resolved against the feed's
  const char* sha256;        // 64 lower-case hex digits
  const char* notes_url;     // "" when the feed gives none
  uint64_t size;
} UpdateClientOffer;

// Called during a transfer with the bytes of the file present so far
// (including what an earlier, interrupted transfer left) and its size.
typedef void (*UpdateClientProgress)(void* closure, uint64_t done, uint64_t total);

// Null when an option is missing (install_dir, feed_url) or memory runs
// out.
UpdateClient* update_client_create(const UpdateClientOptions* options);
// Accepts null.
void update_client_free(UpdateClient* client);

// Fetches the feed and its signature, verifies it with the keys and picks
// the smallest update for the installed version (a partial one from it, else
// the complete one), honouring the rollout. 0 with `*offer` set, to null
// when the feed is fine but offers nothing for this installation or machine;
// otherwise the code of the refusal or failure. `*offer` stays the client's.
int update_client_check(UpdateClient* client, const UpdateClientOffer** offer);

// Downloads `offer` into the update directory as "update.qex": into a
// temporary name first, resuming what an interrupted transfer left there,
// never taking more than the announced size; then checks its size and
// SHA-256, then asks the updater whether it trusts the archive, and only
// then renames it to "update.qex". Nothing is left under that name on any
// failure; a refused file is removed, an interrupted one stays under its
// temporary name to be resumed. 0 or the code.
int update_client_download(UpdateClient* client, const UpdateClientOffer* offer,
                           UpdateClientProgress progress, void* closure);

// How update_client_apply starts the updater.
typedef enum UpdateClientApplyMode {
  // Into "<install_dir>/updated" while the application runs; waits for the
  // updater and reads "update.status".
  UPDATE_CLIENT_STAGED = 0,
  // Swaps the staged copy in once process `pid` (if above 0) has ended;
  // waits and reads the status.
  UPDATE_CLIENT_REPLACE = 1,
  // In place once process `pid` has ended, then relaunches `relaunch`
  // (working directory, program, arguments). Returns once the updater is
  // started; its outcome is read later with update_client_status.
  UPDATE_CLIENT_IN_PLACE = 2
} UpdateClientApplyMode;

// Starts the updater on the update directory. For the waiting modes, the
// first line of "update.status" is copied into `status` (at most
// `status_size` bytes with its zero) and the result is 0 when the updater
// succeeded, the status's code when it failed, 74 when it could not be
// started or ended without a status.
int update_client_apply(UpdateClient* client, UpdateClientApplyMode mode, long pid,
                        const char* const* relaunch, int relaunch_count, char* status,
                        int status_size);

// The first line of "<update_dir>/update.status" into `status`; 0, or 6 when
// there is none.
int update_client_status(UpdateClient* client, char* status, int status_size);

// One line saying what went wrong in the last failed call, "" when none.
// Valid until the next call on the client.
const char* update_client_error(const UpdateClient* client);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // UPDATER_CLIENT_UPDATE_CLIENT_H_

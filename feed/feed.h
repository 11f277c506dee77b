// The signed release feed: which archives update which installed versions of
// one application on one channel (doc/feed_format.md).
//
// A feed is a JSON file `<channel>.json` with a detached signature file
// `<channel>.json.sig` beside it: one or more 64-byte Ed25519 signatures, back
// to back, each over the exact bytes of the JSON file, by the release keys
// that sign the archives (archive/qex.h). A client checks a feed in this order:
// VerifyFeedSignature on the bytes it fetched, ParseFeed on the same bytes,
// CheckFeed against its installation and clock, then PickUpdate.
#ifndef UPDATER_FEED_FEED_H_
#define UPDATER_FEED_FEED_H_

#include <cstdint>
#include <string>
#include <vector>

#include "archive/qex.h"

// The only feed format this code reads and writes.
constexpr int kFeedFormat = 1;
// Larger feed files are refused unparsed (kFeedParseError).
constexpr size_t kMaxFeedSize = 4 << 20;
// Larger signature files are refused (kFeedSignatureError): 8 signatures.
constexpr size_t kMaxFeedSignatureSize = 8 * QEX_ED25519_SIGNATURE_SIZE;

// One archive offered for download. `url` is relative to the feed's own URL.
struct FeedArchive {
  std::string url;
  uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits of the whole file
};

// A partial archive that updates exactly the installed version `from`.
struct FeedPartial {
  std::string from;
  FeedArchive archive;
};

struct FeedRelease {
  std::string version;
  std::string min_updater;  // lowest updater version that applies it; "" for any
  std::string notes_url;    // "" for none
  int rollout = 100;        // percentage of machines offered it, 0 to 100
  FeedArchive complete;
  std::vector<FeedPartial> partials;
};

struct Feed {
  int format = kFeedFormat;
  std::string app_id;
  std::string channel;
  int64_t created = 0;  // unix seconds
  int64_t expires = 0;  // unix seconds; the feed is refused from then on
  std::vector<FeedRelease> releases;
};

// Reads the JSON feed `bytes` into `*out`. kOk, or kFeedParseError (with
// `*out` unspecified) when the bytes are over kMaxFeedSize, are not JSON, the
// format is not kFeedFormat, a required member (format, app_id, channel,
// created, expires, releases; per release version and complete; per archive
// url, size and sha256; per partial from) is missing or of the wrong type, a
// value is out of its range (an application id qex_app_id_is_valid refuses,
// an empty channel or version, a rollout outside 0..100, a hash that is not
// 64 lower-case hex digits, an empty or absolute URL or one with control
// characters), expires is not after created, or a version appears twice (as
// a release, or as a partial's `from` within one release). Unknown members
// are ignored, so later writers may add some.
int ParseFeed(const std::string& bytes, Feed* out);

// The JSON text of `feed`: members in the documented order, two spaces per
// level, a final line feed. ParseFeed reads it back to an equal Feed when
// the feed is valid.
std::string SerializeFeed(const Feed& feed);

// Appends to `*signature` one Ed25519 signature of `bytes` by each private
// key of `keys` (as qex_read_private_keys reads them; 1 to 8 keys). kOk, or
// kFeedSignatureError when there is no key, too many, or one cannot sign;
// `*signature` is then unspecified.
int SignFeed(const std::string& bytes, const QexKeySet* keys, std::string* signature);

// kOk when one of the signatures in `signature` (a whole number of 64-byte
// signatures, at most kMaxFeedSignatureSize bytes) verifies `bytes` with one
// of the public `keys`; kFeedSignatureError otherwise, also for null or empty
// keys and for a signature file of any other size.
int VerifyFeedSignature(const std::string& bytes, const std::string& signature,
                        const QexKeySet* keys);

// What a client knows of itself when it checks a feed.
struct FeedExpectation {
  std::string app_id;             // the installation's application id
  std::string channel;            // the installation's channel
  std::string installed_version;  // the installed product version
  int64_t now = 0;                // unix seconds
};

// Refusals of a parsed (and verified) feed, checked in this order:
// kFeedOtherApplication when its app_id is not `expect.app_id`,
// kFeedOtherChannel when its channel is not `expect.channel`, kFeedExpired
// when `expect.now` is at or past its expiry, kFeedOlderThanInstalled when
// its newest release is older than `expect.installed_version` (a feed
// without releases offers nothing older and passes). kOk otherwise.
int CheckFeed(const Feed& feed, const FeedExpectation& expect);

// The stable bucket, 0 to 99, of one machine for the rollouts of one
// application: the first 8 bytes of the SHA-256 of
// "<machine_id>\n<app_id>", big-endian, modulo 100. A release with rollout R
// is offered to the buckets below R, so raising R only adds machines.
int FeedRolloutBucket(const std::string& machine_id, const std::string& app_id);

// The update PickUpdate chooses: which release and which of its archives.
struct FeedChoice {
  const FeedRelease* release = nullptr;  // null: nothing to install
  const FeedArchive* archive = nullptr;  // the partial from the installed version, else complete
  bool partial = false;
};

// The newest release of `feed` that is newer than `installed_version`, that
// offers the machine's `bucket` (bucket < rollout) and whose min_updater is
// at most `updater_version` ("" skips that test); of it, the partial archive
// whose `from` equals `installed_version` exactly, else the complete archive.
// The pointers point into `feed` and live as long as it does.
FeedChoice PickUpdate(const Feed& feed, const std::string& installed_version, int bucket,
                      const std::string& updater_version);

#endif  // UPDATER_FEED_FEED_H_

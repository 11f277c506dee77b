#include "feed/feed.h"

#include <algorithm>
#include <set>

#include "archive/qex_sign.h"
#include "base/error_codes.h"
#include "base/json.h"

namespace {

using Json = nlohmann::json;

// The length the archive's product information allows a version.
constexpr size_t kMaxVersionLength = 31;
constexpr size_t kMaxTextLength = 4096;

bool PlainText(const std::string& s, size_t max) {
  if (s.empty() || s.size() > max) return false;
  return std::none_of(s.begin(), s.end(), [](char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

// A relative reference: no scheme (a colon in the first segment), no
// authority and no absolute path, so it resolves beneath the feed's URL.
bool RelativeUrl(const std::string& url) {
  if (!PlainText(url, kMaxTextLength) || url[0] == '/') return false;
  if (url.find(' ') != std::string::npos || url.find('\\') != std::string::npos) return false;
  size_t colon = url.find(':');
  return colon == std::string::npos || colon > url.find('/');
}

bool HexDigest(const std::string& s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// The member `name` of `object` when it is a string (nullptr otherwise).
const std::string* String(const Json& object, const char* name) {
  auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

bool Int64(const Json& object, const char* name, int64_t* out) {
  auto it = object.find(name);
  if (it == object.end()) return false;
  if (it->is_number_unsigned()) {
    uint64_t v = it->get<uint64_t>();
    if (v > static_cast<uint64_t>(INT64_MAX)) return false;
    *out = static_cast<int64_t>(v);
    return true;
  }
  if (!it->is_number_integer()) return false;
  *out = it->get<int64_t>();
  return true;
}

bool Version(const std::string* s) { return s && PlainText(*s, kMaxVersionLength); }

bool ParseArchive(const Json& j, FeedArchive* out) {
  if (!j.is_object()) return false;
  const std::string* url = String(j, "url");
  const std::string* sha = String(j, "sha256");
  auto size = j.find("size");
  if (!url || !RelativeUrl(*url) || !sha || !HexDigest(*sha) || size == j.end() ||
      !size->is_number_unsigned())
    return false;
  out->url = *url;
  out->sha256 = *sha;
  out->size = size->get<uint64_t>();
  return true;
}

bool ParseRelease(const Json& j, FeedRelease* out) {
  if (!j.is_object()) return false;
  const std::string* version = String(j, "version");
  auto complete = j.find("complete");
  if (!Version(version) || complete == j.end() || !ParseArchive(*complete, &out->complete))
    return false;
  out->version = *version;
  if (j.contains("min_updater")) {
    const std::string* min = String(j, "min_updater");
    if (!Version(min)) return false;
    out->min_updater = *min;
  }
  if (j.contains("notes_url")) {
    const std::string* notes = String(j, "notes_url");
    if (!notes || !PlainText(*notes, kMaxTextLength)) return false;
    out->notes_url = *notes;
  }
  if (j.contains("rollout")) {
    int64_t rollout = -1;
    if (!Int64(j, "rollout", &rollout) || rollout < 0 || rollout > 100) return false;
    out->rollout = static_cast<int>(rollout);
  }
  auto partials = j.find("partials");
  if (partials == j.end()) return true;
  if (!partials->is_array()) return false;
  std::set<std::string> froms;
  for (const Json& p : *partials) {
    FeedPartial partial;
    const std::string* from = p.is_object() ? String(p, "from") : nullptr;
    if (!Version(from) || !froms.insert(*from).second || !ParseArchive(p, &partial.archive))
      return false;
    partial.from = *from;
    out->partials.push_back(std::move(partial));
  }
  return true;
}

JsonValue ArchiveJson(const FeedArchive& a) {
  JsonValue j = JsonValue::object();
  j["url"] = a.url;
  j["size"] = a.size;
  j["sha256"] = a.sha256;
  return j;
}

}  // namespace

int ParseFeed(const std::string& bytes, Feed* out) {
  if (bytes.size() > kMaxFeedSize) return kFeedParseError;
  Json j = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return kFeedParseError;
  int64_t format = 0;
  if (!Int64(j, "format", &format) || format != kFeedFormat) return kFeedParseError;
  *out = Feed();
  const std::string* app_id = String(j, "app_id");
  const std::string* channel = String(j, "channel");
  if (!app_id || !qex_app_id_is_valid(app_id->c_str()) || !channel ||
      !PlainText(*channel, kMaxTextLength) || !Int64(j, "created", &out->created) ||
      !Int64(j, "expires", &out->expires) || out->expires <= out->created)
    return kFeedParseError;
  out->app_id = *app_id;
  out->channel = *channel;
  auto releases = j.find("releases");
  if (releases == j.end() || !releases->is_array()) return kFeedParseError;
  std::set<std::string> versions;
  for (const Json& r : *releases) {
    FeedRelease release;
    if (!ParseRelease(r, &release) || !versions.insert(release.version).second)
      return kFeedParseError;
    out->releases.push_back(std::move(release));
  }
  return kOk;
}

std::string SerializeFeed(const Feed& feed) {
  JsonValue j = JsonValue::object();
  j["format"] = feed.format;
  j["app_id"] = feed.app_id;
  j["channel"] = feed.channel;
  j["created"] = feed.created;
  j["expires"] = feed.expires;
  JsonValue releases = JsonValue::array();
  for (const FeedRelease& r : feed.releases) {
    JsonValue rj = JsonValue::object();
    rj["version"] = r.version;
    if (!r.min_updater.empty()) rj["min_updater"] = r.min_updater;
    if (!r.notes_url.empty()) rj["notes_url"] = r.notes_url;
    rj["rollout"] = r.rollout;
    rj["complete"] = ArchiveJson(r.complete);
    JsonValue partials = JsonValue::array();
    for (const FeedPartial& p : r.partials) {
      JsonValue pj = JsonValue::object();
      pj["from"] = p.from;
      pj.update(ArchiveJson(p.archive));
      partials.push_back(std::move(pj));
    }
    rj["partials"] = std::move(partials);
    releases.push_back(std::move(rj));
  }
  j["releases"] = std::move(releases);
  std::string text;
  JsonText(j, &text);
  return text;
}

int SignFeed(const std::string& bytes, const QexKeySet* keys, std::string* signature) {
  int count = qex_key_count(keys);
  if (count < 1 || static_cast<size_t>(count) * QEX_ED25519_SIGNATURE_SIZE > kMaxFeedSignatureSize)
    return kFeedSignatureError;
  for (int i = 0; i < count; ++i) {
    unsigned char one[QEX_ED25519_SIGNATURE_SIZE];
    if (!qex_sign_bytes(keys, i, bytes.data(), bytes.size(), one)) return kFeedSignatureError;
    signature->append(reinterpret_cast<const char*>(one), sizeof one);
  }
  return kOk;
}

int VerifyFeedSignature(const std::string& bytes, const std::string& signature,
                        const QexKeySet* keys) {
  if (signature.empty() || signature.size() > kMaxFeedSignatureSize ||
      signature.size() % QEX_ED25519_SIGNATURE_SIZE != 0)
    return kFeedSignatureError;
  for (size_t at = 0; at < signature.size(); at += QEX_ED25519_SIGNATURE_SIZE) {
    const auto* one = reinterpret_cast<const unsigned char*>(signature.data() + at);
    if (qex_verify_bytes(keys, bytes.data(), bytes.size(), one) >= 0) return kOk;
  }
  return kFeedSignatureError;
}

int CheckFeed(const Feed& feed, const FeedExpectation& expect) {
  if (feed.app_id != expect.app_id) return kFeedOtherApplication;
  if (feed.channel != expect.channel) return kFeedOtherChannel;
  if (expect.now >= feed.expires) return kFeedExpired;
  const FeedRelease* newest = nullptr;
  for (const FeedRelease& r : feed.releases)
    if (!newest || compare_versions(r.version.c_str(), newest->version.c_str()) > 0) newest = &r;
  if (newest && compare_versions(newest->version.c_str(), expect.installed_version.c_str()) < 0)
    return kFeedOlderThanInstalled;
  return kOk;
}

int FeedRolloutBucket(const std::string& machine_id, const std::string& app_id) {
  std::string text = machine_id + "\n" + app_id;
  unsigned char digest[32];
  if (!qex_sha256(text.data(), text.size(), digest)) return 0;
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | digest[i];
  return static_cast<int>(v % 100);
}

FeedChoice PickUpdate(const Feed& feed, const std::string& installed_version, int bucket,
                      const std::string& updater_version) {
  FeedChoice choice;
  for (const FeedRelease& r : feed.releases) {
    if (compare_versions(r.version.c_str(), installed_version.c_str()) <= 0 || bucket >= r.rollout)
      continue;
    if (!updater_version.empty() && !r.min_updater.empty() &&
        compare_versions(r.min_updater.c_str(), updater_version.c_str()) > 0)
      continue;
    if (choice.release && compare_versions(r.version.c_str(), choice.release->version.c_str()) <= 0)
      continue;
    choice.release = &r;
  }
  if (!choice.release) return choice;
  choice.archive = &choice.release->complete;
  for (const FeedPartial& p : choice.release->partials) {
    if (p.from == installed_version) {
      choice.archive = &p.archive;
      choice.partial = true;
      break;
    }
  }
  return choice;
}

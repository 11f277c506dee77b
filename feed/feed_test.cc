#include "feed/feed.h"

#include <gtest/gtest.h>

#include <set>

#include "archive/archive_test_util.h"
#include "archive/qex_sign.h"
#include "base/error_codes.h"
#include "base/json.h"
#include "testing/test_util.h"

namespace {

using archive_testing::MakeKeyPair;
using testing_util::ScopedTempDir;

const char kHash[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

FeedArchive Archive(const std::string& url, uint64_t size) { return {url, size, kHash}; }

// 1.0 and 2.0 on "stable"; 2.0 has partials from 1.0 and 1.5, and reaches
// half of the machines.
Feed SampleFeed() {
  Feed feed;
  feed.app_id = "org.example.app";
  feed.channel = "stable";
  feed.created = 1000;
  feed.expires = 2000;
  FeedRelease one;
  one.version = "1.0";
  one.complete = Archive("1.0/complete.qex", 500);
  FeedRelease two;
  two.version = "2.0";
  two.min_updater = "1.2";
  two.notes_url = "https://example.org/notes/2.0";
  two.rollout = 50;
  two.complete = Archive("2.0/complete.qex", 600);
  two.partials = {{"1.0", Archive("2.0/from-1.0.qex", 60)},
                  {"1.5", Archive("2.0/from-1.5.qex", 40)}};
  feed.releases = {two, one};
  return feed;
}

JsonValue SampleJson() { return JsonValue::parse(SerializeFeed(SampleFeed())); }

TEST(FeedTest, SerializeParsesBackAndUnknownMembersAreIgnored) {
  Feed parsed;
  ASSERT_EQ(ParseFeed(SerializeFeed(SampleFeed()), &parsed), kOk);
  EXPECT_EQ(SerializeFeed(parsed), SerializeFeed(SampleFeed()));
  EXPECT_EQ(parsed.releases[0].partials[1].archive.size, 40u);
  EXPECT_EQ(parsed.releases[1].rollout, 100);  // absent means everyone

  JsonValue j = SampleJson();
  j["mirrors"] = {"a", "b"};
  j["releases"][0]["delta_kind"] = 7;
  j["releases"][0]["partials"][0]["signature"] = {{"x", 1}};
  ASSERT_EQ(ParseFeed(j.dump(), &parsed), kOk);
  EXPECT_EQ(SerializeFeed(parsed), SerializeFeed(SampleFeed()));
}

TEST(FeedTest, InvalidFeedsAreRefused) {
  using Edit = void (*)(JsonValue&);
  const std::pair<const char*, Edit> cases[] = {
      {"format 2", [](JsonValue& j) { j["format"] = 2; }},
      {"format as text", [](JsonValue& j) { j["format"] = "1"; }},
      {"no app id", [](JsonValue& j) { j.erase("app_id"); }},
      {"invalid app id", [](JsonValue& j) { j["app_id"] = "../etc"; }},
      {"empty channel", [](JsonValue& j) { j["channel"] = ""; }},
      {"no created", [](JsonValue& j) { j.erase("created"); }},
      {"fractional expiry", [](JsonValue& j) { j["expires"] = 1500.5; }},
      {"expiry before creation", [](JsonValue& j) { j["expires"] = 1000; }},
      {"huge expiry", [](JsonValue& j) { j["expires"] = UINT64_MAX; }},
      {"releases an object", [](JsonValue& j) { j["releases"] = JsonValue::object(); }},
      {"release a string", [](JsonValue& j) { j["releases"][0] = "2.0"; }},
      {"no version", [](JsonValue& j) { j["releases"][0].erase("version"); }},
      {"long version", [](JsonValue& j) { j["releases"][0]["version"] = std::string(32, '1'); }},
      {"version twice", [](JsonValue& j) { j["releases"][1]["version"] = "2.0"; }},
      {"no complete", [](JsonValue& j) { j["releases"][0].erase("complete"); }},
      {"rollout 101", [](JsonValue& j) { j["releases"][0]["rollout"] = 101; }},
      {"negative rollout", [](JsonValue& j) { j["releases"][0]["rollout"] = -1; }},
      {"min updater a number", [](JsonValue& j) { j["releases"][0]["min_updater"] = 2; }},
      {"negative size", [](JsonValue& j) { j["releases"][0]["complete"]["size"] = -5; }},
      {"short hash",
       [](JsonValue& j) { j["releases"][0]["complete"]["sha256"] = std::string(63, 'a'); }},
      {"upper-case hash",
       [](JsonValue& j) { j["releases"][0]["complete"]["sha256"] = std::string(64, 'A'); }},
      {"absolute url",
       [](JsonValue& j) { j["releases"][0]["complete"]["url"] = "https://evil/x.qex"; }},
      {"rooted url", [](JsonValue& j) { j["releases"][0]["complete"]["url"] = "/x.qex"; }},
      {"url with a line break", [](JsonValue& j) { j["releases"][0]["complete"]["url"] = "a\nb"; }},
      {"partial without from", [](JsonValue& j) { j["releases"][0]["partials"][0].erase("from"); }},
      {"partial from twice", [](JsonValue& j) { j["releases"][0]["partials"][1]["from"] = "1.0"; }},
      {"partials an object",
       [](JsonValue& j) { j["releases"][0]["partials"] = JsonValue::object(); }},
  };
  for (const auto& [name, edit] : cases) {
    JsonValue j = SampleJson();
    edit(j);
    Feed feed;
    EXPECT_EQ(ParseFeed(j.dump(), &feed), kFeedParseError) << name;
  }
  Feed feed;
  EXPECT_EQ(ParseFeed("[]", &feed), kFeedParseError);
  EXPECT_EQ(ParseFeed(std::string(kMaxFeedSize + 1, ' '), &feed), kFeedParseError);
  // Deep nesting in an unknown member is built and freed without recursion.
  const size_t depth = 1 << 20;
  EXPECT_EQ(ParseFeed("{\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}", &feed),
            kFeedParseError);
}

// Every cut of a valid feed, and every byte of it changed, reads without a
// crash; a cut never passes as a feed.
TEST(FeedTest, TruncatedAndDamagedFeedsNeverCrash) {
  const std::string text = SerializeFeed(SampleFeed());
  const size_t end = text.find_last_not_of('\n') + 1;
  Feed feed;
  for (size_t n = 0; n < end; n++) {
    ASSERT_EQ(ParseFeed(text.substr(0, n), &feed), kFeedParseError) << n;
  }
  for (size_t i = 0; i < text.size(); i++) {
    for (char c : {'\0', '"', '\xff', '9'}) {
      std::string damaged = text;
      damaged[i] = c;
      int rv = ParseFeed(damaged, &feed);
      ASSERT_TRUE(rv == kOk || rv == kFeedParseError) << i;
    }
  }
}

TEST(FeedTest, SignaturesVerifyOnlyTheExactBytesWithTrustedKeys) {
  ScopedTempDir dir;
  ASSERT_TRUE(MakeKeyPair(dir.Sub("a")) && MakeKeyPair(dir.Sub("b")));
  std::string pa = dir.Sub("a.pem"), pb = dir.Sub("b.pem");
  const char* paths[] = {pa.c_str(), pb.c_str()};
  QexKeys priv_a(qex_read_private_keys(1, paths)), priv_both(qex_read_private_keys(2, paths));
  QexKeys pub_a(qex_read_public_keys(dir.Sub("a.pub").c_str()));
  QexKeys pub_b(qex_read_public_keys(dir.Sub("b.pub").c_str()));
  ASSERT_TRUE(priv_a && priv_both && pub_a && pub_b);

  const std::string bytes = SerializeFeed(SampleFeed());
  std::string by_a, by_both;
  ASSERT_EQ(SignFeed(bytes, priv_a.get(), &by_a), kOk);
  ASSERT_EQ(SignFeed(bytes, priv_both.get(), &by_both), kOk);
  ASSERT_EQ(by_a.size(), 64u);
  EXPECT_EQ(SignFeed(bytes, nullptr, &by_a), kFeedSignatureError);

  std::string altered = bytes;
  altered[bytes.find("600")] = '7';
  std::string flipped = by_a;
  flipped[10] ^= 1;
  const struct {
    const char* name;
    std::string bytes, signature;
    const QexKeySet* keys;
    int expected;
  } cases[] = {
      {"own key", bytes, by_a, pub_a.get(), kOk},
      {"second of two signatures", bytes, by_both, pub_b.get(), kOk},
      {"private key verifies too", bytes, by_a, priv_a.get(), kOk},
      {"other key", bytes, by_a, pub_b.get(), kFeedSignatureError},
      {"no keys", bytes, by_a, nullptr, kFeedSignatureError},
      {"altered feed", altered, by_a, pub_a.get(), kFeedSignatureError},
      {"trailing line", bytes + "\n", by_a, pub_a.get(), kFeedSignatureError},
      {"flipped signature", bytes, flipped, pub_a.get(), kFeedSignatureError},
      {"no signature", bytes, "", pub_a.get(), kFeedSignatureError},
      {"cut signature", bytes, by_a.substr(0, 63), pub_a.get(), kFeedSignatureError},
      {"extra byte", bytes, by_a + "x", pub_a.get(), kFeedSignatureError},
      {"nine signatures", bytes, std::string(8 * 64, 'x') + by_a, pub_a.get(), kFeedSignatureError},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VerifyFeedSignature(c.bytes, c.signature, c.keys), c.expected) << c.name;
  }
}

TEST(FeedTest, CheckRefusesEachWrongFeedWithItsOwnCode) {
  const struct {
    const char* app;
    const char* channel;
    const char* installed;
    int64_t now;
    int expected;
  } cases[] = {
      {"org.example.app", "stable", "1.0", 1999, kOk},
      {"org.example.app", "stable", "2.0", 1000, kOk},  // up to date
      {"org.other.app", "stable", "1.0", 1500, kFeedOtherApplication},
      {"org.example.app", "beta", "1.0", 1500, kFeedOtherChannel},
      {"org.example.app", "stable", "1.0", 2000, kFeedExpired},
      {"org.example.app", "stable", "2.0.1", 1500, kFeedOlderThanInstalled},
      {"org.example.app", "stable", "10.0", 1500, kFeedOlderThanInstalled},
  };
  const Feed feed = SampleFeed();
  for (const auto& c : cases) {
    EXPECT_EQ(CheckFeed(feed, {c.app, c.channel, c.installed, c.now}), c.expected)
        << c.app << " " << c.channel << " " << c.installed << " " << c.now;
  }
}

TEST(FeedTest, PickTakesTheNewestOfferedReleaseAndItsSmallestArchive) {
  Feed feed = SampleFeed();
  FeedRelease three;  // no partials, for every machine, needs updater 9
  three.version = "3.0";
  three.min_updater = "9";
  three.complete = Archive("3.0/complete.qex", 700);
  feed.releases.push_back(three);
  const struct {
    const char* installed;
    int bucket;
    const char* updater;
    const char* url;  // "" for nothing
  } cases[] = {
      {"1.0", 10, "1.2", "2.0/from-1.0.qex"},
      {"1.5", 49, "1.2", "2.0/from-1.5.qex"},
      {"1.2", 10, "1.2", "2.0/complete.qex"},  // no partial from 1.2
      {"1.0", 50, "1.2", ""},                  // outside the rollout; 1.0 is installed
      {"0.9", 50, "1.2", "1.0/complete.qex"},
      {"1.0", 10, "1.1", ""},  // 2.0 needs updater 1.2
      {"1.0", 10, "9", "3.0/complete.qex"},
      {"1.0", 99, "", "3.0/complete.qex"},  // no updater version: not checked
      {"3.0", 0, "9", ""},
  };
  for (const auto& c : cases) {
    FeedChoice choice = PickUpdate(feed, c.installed, c.bucket, c.updater);
    std::string url = choice.archive ? choice.archive->url : "";
    EXPECT_EQ(url, c.url) << c.installed << " bucket " << c.bucket << " updater " << c.updater;
    EXPECT_EQ(choice.partial, url.find("from-") != std::string::npos) << c.installed;
  }
}

// The bucket follows the documented formula, so other implementations and
// later versions put a machine in the same bucket; it spreads machines over
// every bucket.
TEST(FeedTest, RolloutBucketIsStableAndSpread) {
  // First 8 bytes of SHA-256("machine-1\norg.example.app"), big-endian, mod 100.
  EXPECT_EQ(FeedRolloutBucket("machine-1", "org.example.app"), 19);
  std::set<int> seen;
  for (int i = 0; i < 2000; i++) {
    int bucket = FeedRolloutBucket("machine-" + std::to_string(i), "org.example.app");
    ASSERT_GE(bucket, 0);
    ASSERT_LT(bucket, 100);
    seen.insert(bucket);
  }
  EXPECT_EQ(seen.size(), 100u);
}

}  // namespace

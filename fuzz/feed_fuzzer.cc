// Parses the input as a release feed. A feed that parses must write back to
// text that parses to the same feed, and the checks and the choice of an
// update must run on it without fault.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/error_codes.h"
#include "feed/feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Feed feed;
  if (ParseFeed(bytes, &feed) != kOk) return 0;
  const std::string text = SerializeFeed(feed);
  Feed again;
  if (ParseFeed(text, &again) != kOk || SerializeFeed(again) != text) abort();
  CheckFeed(feed, {feed.app_id, feed.channel, "1.0", feed.created});
  for (const FeedRelease& r : feed.releases) {
    FeedChoice choice = PickUpdate(feed, r.version, 0, "");
    if (choice.release && choice.release->version == r.version) abort();
    for (const FeedPartial& p : r.partials) {
      // A partial archive chosen is the one from the installed version.
      choice = PickUpdate(feed, p.from, 0, "");
      if (choice.partial) {
        bool found = false;
        for (const FeedPartial& q : choice.release->partials)
          found = found || (&q.archive == choice.archive && q.from == p.from);
        if (!found) abort();
      }
    }
  }
  return 0;
}

// The identity of a content, by which the archive writer and make-update
// recognise entries that would store the same bytes: its length and its
// SHA-256 digest. Two contents with the same key are taken to be the same
// bytes. C++ only.
#ifndef UPDATER_ARCHIVE_CONTENT_DIGEST_H_
#define UPDATER_ARCHIVE_CONTENT_DIGEST_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <tuple>

struct evp_md_ctx_st;

struct ContentKey {
  uint64_t length = 0;
  std::array<unsigned char, 32> digest{};

  bool operator<(const ContentKey& o) const {
    return std::tie(length, digest) < std::tie(o.length, o.digest);
  }
  bool operator==(const ContentKey& o) const { return length == o.length && digest == o.digest; }
};

// SHA-256 of a content fed in pieces. Any libcrypto failure, at the start or
// later, makes Finish fail.
class ContentDigest {
 public:
  ContentDigest();
  ~ContentDigest();
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;

  void Update(const void* data, size_t size);
  // The key of everything fed so far; false when libcrypto failed. Call once.
  bool Finish(ContentKey* key);

 private:
  struct Free {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
  uint64_t length_ = 0;
  bool failed_ = false;
};

// The key of the file at `path`, read to its end. False when it cannot be
// opened or read (errno tells why) or libcrypto fails.
bool DigestFile(const char* path, ContentKey* key);

#endif  // UPDATER_ARCHIVE_CONTENT_DIGEST_H_

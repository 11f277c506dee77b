#include "archive/content_digest.h"

#include <openssl/evp.h>

#include <memory>

namespace {

constexpr size_t kReadChunk = 65536;

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

void ContentDigest::Free::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

ContentDigest::ContentDigest() : context_(EVP_MD_CTX_new()) {
  failed_ = !context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1;
}

ContentDigest::~ContentDigest() = default;

void ContentDigest::Update(const void* data, size_t size) {
  if (failed_ || size == 0) return;
  failed_ = EVP_DigestUpdate(context_.get(), data, size) != 1;
  length_ += size;
}

bool ContentDigest::Finish(ContentKey* key) {
  unsigned size = 0;
  if (failed_ || EVP_DigestFinal_ex(context_.get(), key->digest.data(), &size) != 1 ||
      size != key->digest.size()) {
    failed_ = true;
    return false;
  }
  key->length = length_;
  return true;
}

bool DigestFile(const char* path, ContentKey* key) {
  std::unique_ptr<FILE, FileCloser> in(fopen(path, "rb"));
  if (!in) return false;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kReadChunk]);
  if (!buf) return false;
  ContentDigest digest;
  for (size_t n; (n = fread(buf.get(), 1, kReadChunk, in.get())) > 0;) digest.Update(buf.get(), n);
  return !ferror(in.get()) && digest.Finish(key);
}

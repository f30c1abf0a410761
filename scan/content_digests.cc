#include "scan/content_digests.h"

#ifdef QUILLMARK_HAVE_LIBCRYPTO
#include <openssl/crypto.h>
#include <openssl/evp.h>
#endif

namespace quillmark::scan {

#ifdef QUILLMARK_HAVE_LIBCRYPTO

struct ContentDigests::Contexts {
  std::array<EVP_MD_CTX*, report::kDigestAlgorithms> wanted{};
  std::array<EVP_MD*, report::kDigestAlgorithms> algorithms{};
};

namespace {

// The algorithm, fetched once: OpenSSL 3 looks an algorithm up under a
// lock that every thread takes each time a digest starts from EVP_sha256()
// and the like, which on ten thousand small files costs more than hashing.
EVP_MD* fetch(std::size_t algorithm) {
  switch (static_cast<report::DigestAlgorithm>(algorithm)) {
    case report::DigestAlgorithm::kMd5:
      return EVP_MD_fetch(nullptr, "MD5", nullptr);
    case report::DigestAlgorithm::kSha1:
      return EVP_MD_fetch(nullptr, "SHA1", nullptr);
    case report::DigestAlgorithm::kSha256:
      break;
  }
  return EVP_MD_fetch(nullptr, "SHA256", nullptr);
}

}  // namespace

bool ContentDigests::available() { return true; }

std::string ContentDigests::libraryVersion() { return OpenSSL_version(OPENSSL_VERSION); }

ContentDigests::ContentDigests(report::DigestSet wanted) : contexts_(new Contexts) {
  for (std::size_t i = 0; i < report::kDigestAlgorithms; ++i) {
    if (!wanted[i]) continue;
    contexts_->wanted[i] = EVP_MD_CTX_new();
    contexts_->algorithms[i] = fetch(i);
  }
}

ContentDigests::~ContentDigests() {
  for (EVP_MD_CTX* context : contexts_->wanted) EVP_MD_CTX_free(context);
  for (EVP_MD* algorithm : contexts_->algorithms) EVP_MD_free(algorithm);
  delete contexts_;
}

void ContentDigests::start() {
  for (std::size_t i = 0; i < report::kDigestAlgorithms; ++i) {
    if (contexts_->wanted[i] != nullptr) {
      EVP_DigestInit_ex2(contexts_->wanted[i], contexts_->algorithms[i], nullptr);
    }
  }
}

void ContentDigests::consume(const char* bytes, std::size_t length) {
  for (EVP_MD_CTX* context : contexts_->wanted) {
    if (context != nullptr) EVP_DigestUpdate(context, bytes, length);
  }
}

void ContentDigests::finish(report::DigestValues& values) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < report::kDigestAlgorithms; ++i) {
    values[i].clear();
    if (contexts_->wanted[i] == nullptr) continue;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(contexts_->wanted[i], digest, &length);
    for (unsigned int at = 0; at < length; ++at) {
      values[i] += kHex[digest[at] >> 4];
      values[i] += kHex[digest[at] & 0xF];
    }
  }
}

#else  // a build without libcrypto: --hash is refused before a scan begins

struct ContentDigests::Contexts {};

bool ContentDigests::available() { return false; }
std::string ContentDigests::libraryVersion() { return ""; }
ContentDigests::ContentDigests(report::DigestSet) : contexts_(new Contexts) {}
ContentDigests::~ContentDigests() { delete contexts_; }
void ContentDigests::start() {}
void ContentDigests::consume(const char*, std::size_t) {}
void ContentDigests::finish(report::DigestValues& values) {
  for (std::string& value : values) value.clear();
}

#endif

}  // namespace quillmark::scan

#ifndef QUILLMARK_SCAN_CONTENT_DIGESTS_H_
#define QUILLMARK_SCAN_CONTENT_DIGESTS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "analysis/content_reader.h"

namespace quillmark::scan {

// The digests a scan can give of a file's whole content (--hash).
enum class DigestAlgorithm : std::uint8_t { kMd5, kSha1, kSha256 };
inline constexpr std::size_t kDigestAlgorithms = 3;
// Which digests are asked for, indexed by DigestAlgorithm.
using DigestSet = std::array<bool, kDigestAlgorithms>;
// Digests in lowercase hex, indexed by DigestAlgorithm; empty where not taken.
using DigestValues = std::array<std::string, kDigestAlgorithms>;

// The algorithm's name as the command line and the reports spell it:
// "md5", "sha1", "sha256".
const char* digestName(DigestAlgorithm algorithm);

// Digests of one content after another, computed by OpenSSL's libcrypto
// (with the processor's SHA instructions where it has them) as the bytes
// are handed over. One object serves one thread.
class ContentDigests final : public ContentSink {
 public:
  explicit ContentDigests(DigestSet wanted);
  ~ContentDigests() override;
  ContentDigests(const ContentDigests&) = delete;
  ContentDigests& operator=(const ContentDigests&) = delete;

  // True when this build can compute digests (it was built with libcrypto).
  static bool available();
  // The library that computes them and its version, or empty.
  static std::string libraryVersion();

  // Begins the digests of a new content.
  void start();
  void consume(const char* bytes, std::size_t length) override;
  // Ends them, putting each wanted digest in `values`.
  void finish(DigestValues& values);

 private:
  struct Contexts;
  Contexts* contexts_;
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_CONTENT_DIGESTS_H_

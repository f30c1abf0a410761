#ifndef QUILLMARK_SCAN_CONTENT_DIGESTS_H_
#define QUILLMARK_SCAN_CONTENT_DIGESTS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "analysis/content_reader.h"
#include "report/digest_algorithm.h"

namespace quillmark::scan {

// Digests of one content after another, computed by OpenSSL's libcrypto
// (with the processor's SHA instructions where it has them) as the bytes
// are handed over. One object serves one thread.
class ContentDigests final : public ContentSink {
 public:
  explicit ContentDigests(report::DigestSet wanted);
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
  void finish(report::DigestValues& values);

 private:
  struct Contexts;
  Contexts* contexts_;
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_CONTENT_DIGESTS_H_

#include "report/digest_algorithm.h"

namespace quillmark::report {

const char* digestName(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::kMd5:
      return "md5";
    case DigestAlgorithm::kSha1:
      return "sha1";
    case DigestAlgorithm::kSha256:
      break;
  }
  return "sha256";
}

}  // namespace quillmark::report

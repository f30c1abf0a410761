#ifndef QUILLMARK_REPORT_DIGEST_ALGORITHM_H_
#define QUILLMARK_REPORT_DIGEST_ALGORITHM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quillmark::report {

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

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_DIGEST_ALGORITHM_H_

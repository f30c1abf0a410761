#ifndef QUILLMARK_BITMAP_BITMAP_CANDIDATE_H_
#define QUILLMARK_BITMAP_BITMAP_CANDIDATE_H_

#include <cstddef>
#include <cstdint>

namespace quillmark {

// The test a carver applies to bytes found with no file around them: does a
// BMP file start here? It looks for what every BMP writer puts there: "BM",
// the four reserved bytes zero, an info header of a size the format knows
// (12, 40, 52, 56, 64, 108 or 124 bytes), one colour plane, and a file size
// and pixel offset that fit (the pixels start past the headers and before
// the end of the file). A few compares, so that every 512-byte boundary of a
// disk's free space can be tried.
//
// `bytes` holds `length` bytes from the candidate's first byte on; fewer
// than kHeaderBytes never pass. Returns the file size the header states, or
// 0 when the bytes are not the start of a BMP file.
std::uint64_t bitmapCandidateSize(const std::uint8_t* bytes, std::size_t length);

// Bytes the test looks at: the file header, the info header's size, and the
// plane count of the largest info header's layout.
inline constexpr std::size_t kCandidateHeaderBytes = 28;

}  // namespace quillmark

#endif  // QUILLMARK_BITMAP_BITMAP_CANDIDATE_H_

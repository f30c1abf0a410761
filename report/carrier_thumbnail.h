#ifndef QUILLMARK_REPORT_CARRIER_THUMBNAIL_H_
#define QUILLMARK_REPORT_CARRIER_THUMBNAIL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/content_source.h"
#include "analysis/page_aligned_buffer.h"

namespace quillmark::report {

// A picture in memory: 8-bit red, green and blue for each pixel, rows from
// the top, no padding.
struct RgbPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;  // width * height * 3 bytes
};

// The long side of a carrier's thumbnail is at most kMaxSide pixels, and a
// smaller carrier is enlarged until its long side is at least kMinSide, so
// that a report shows every carrier at a size one can look at.
inline constexpr std::uint32_t kThumbnailMaxSide = 256;
inline constexpr std::uint32_t kThumbnailMinSide = 64;

// The size of the thumbnail of a `width` x `height` picture: proportions
// kept, each side at least 1 pixel.
void thumbnailSize(std::uint32_t width, std::uint32_t height, std::uint32_t& thumbWidth,
                   std::uint32_t& thumbHeight);

// Decodes the pixel array of the uncompressed 24-bit BMP that `source` holds
// and scales it to thumbnailSize: a box filter (the mean of the pixels each
// thumbnail pixel covers) where it shrinks, the nearest pixel where it
// grows. Rows are read one after the other, in pieces, so that memory stays
// that of the thumbnail whatever the carrier's size.
//
// Returns false, with `why` saying what stands in the way ("the pixel array
// runs past the end of the file", "a 32-bit BMP"), when the header is not
// that of such a BMP or the content cannot be read whole.
bool makeCarrierThumbnail(ContentSource& source, RgbPicture& thumbnail, std::string& why);

// What makeCarrierThumbnail works in, kept from one carrier to the next by
// a caller that draws many, so that none of it is allocated again.
struct ThumbnailScratch {
  std::vector<std::uint64_t> sums;
  std::vector<std::uint32_t> counts;
  PageAlignedBuffer piece;
};
bool makeCarrierThumbnail(ContentSource& source, RgbPicture& thumbnail, std::string& why,
                          ThumbnailScratch& scratch);

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_CARRIER_THUMBNAIL_H_

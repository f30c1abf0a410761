#include "report/carrier_thumbnail.h"

#include <algorithm>
#include <cstring>

#include "analysis/page_aligned_buffer.h"

namespace quillmark::report {

namespace {

// Rows are read in pieces of at most this many bytes, whole pixels each.
constexpr std::size_t kPiece = std::size_t{3} * 21845;

std::uint32_t le16(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0] | at[1] << 8);
}

std::uint32_t le32(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// The long side scaled to `side` pixels, the other in proportion.
void scaleTo(std::uint32_t side, std::uint32_t width, std::uint32_t height, std::uint32_t& outWidth,
             std::uint32_t& outHeight) {
  const std::uint64_t longSide = std::max(width, height);
  outWidth = static_cast<std::uint32_t>(
      std::max<std::uint64_t>(1, width * std::uint64_t{side} / longSide));
  outHeight = static_cast<std::uint32_t>(
      std::max<std::uint64_t>(1, height * std::uint64_t{side} / longSide));
}

// Where the pixels lie in a BMP, as its headers state them.
struct PixelArray {
  std::uint64_t offset = 0;  // of the first stored row
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool topDown = false;      // rows stored from the top (a negative height)
  std::uint64_t stride = 0;  // bytes a stored row takes, padding included
};

bool parseHeaders(const unsigned char* header, std::uint64_t size, PixelArray& pixels,
                  std::string& why) {
  if (header[0] != 'B' || header[1] != 'M') {
    why = "not a BMP file";
    return false;
  }
  const std::uint32_t infoSize = le32(header + 14);
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t depth = 0;
  std::uint32_t compression = 0;
  if (infoSize == 12) {  // the OS/2 core header: unsigned 16-bit sizes
    width = le16(header + 18);
    height = le16(header + 20);
    depth = le16(header + 24);
  } else if (infoSize >= 40) {
    width = static_cast<std::int32_t>(le32(header + 18));
    height = static_cast<std::int32_t>(le32(header + 22));
    depth = le16(header + 28);
    compression = le32(header + 30);
  } else {
    why = "a BMP header of an unknown size (" + std::to_string(infoSize) + " bytes)";
    return false;
  }
  if (depth != 24) {
    why = "a " + std::to_string(depth) + "-bit BMP, not a 24-bit one";
    return false;
  }
  if (compression != 0) {
    why = "a compressed BMP";
    return false;
  }
  if (width <= 0 || height == 0) {
    why = "a BMP without pixels";
    return false;
  }
  pixels.offset = le32(header + 10);
  pixels.width = static_cast<std::uint32_t>(width);
  pixels.height = static_cast<std::uint32_t>(height < 0 ? -height : height);
  pixels.topDown = height < 0;
  pixels.stride = (std::uint64_t{pixels.width} * 3 + 3) / 4 * 4;
  const std::uint64_t bytes = pixels.stride * pixels.height;  // < 2^65 / 2^31: no overflow
  if (pixels.offset > size || bytes > size - pixels.offset) {
    why = "the pixel array runs past the end of the file";
    return false;
  }
  return true;
}

}  // namespace

void thumbnailSize(std::uint32_t width, std::uint32_t height, std::uint32_t& thumbWidth,
                   std::uint32_t& thumbHeight) {
  const std::uint32_t longSide = std::max(width, height);
  if (longSide > kThumbnailMaxSide)
    return scaleTo(kThumbnailMaxSide, width, height, thumbWidth, thumbHeight);
  if (longSide < kThumbnailMinSide && longSide > 0) {
    return scaleTo(kThumbnailMinSide, width, height, thumbWidth, thumbHeight);
  }
  thumbWidth = std::max<std::uint32_t>(width, 1);
  thumbHeight = std::max<std::uint32_t>(height, 1);
}

bool makeCarrierThumbnail(ContentSource& source, RgbPicture& thumbnail, std::string& why) {
  ThumbnailScratch scratch;
  return makeCarrierThumbnail(source, thumbnail, why, scratch);
}

bool makeCarrierThumbnail(ContentSource& source, RgbPicture& thumbnail, std::string& why,
                          ThumbnailScratch& scratch) {
  unsigned char header[54] = {};
  const std::uint64_t size = source.size();
  const std::int64_t got = source.readAt(0, reinterpret_cast<char*>(header), sizeof header);
  if (got < 26) {
    why = got < 0 ? "the file cannot be read" : "the file is too short for a BMP header";
    return false;
  }
  PixelArray pixels;
  if (!parseHeaders(header, size, pixels, why)) return false;

  std::uint32_t outWidth = 0;
  std::uint32_t outHeight = 0;
  thumbnailSize(pixels.width, pixels.height, outWidth, outHeight);
  // First each axis is shrunk by a box filter where it must shrink, then
  // grown by the nearest pixel where it must grow.
  const std::uint32_t midWidth = std::min(pixels.width, outWidth);
  const std::uint32_t midHeight = std::min(pixels.height, outHeight);
  std::vector<std::uint64_t>& sums = scratch.sums;
  std::vector<std::uint32_t>& counts = scratch.counts;
  sums.assign(std::size_t{midWidth} * midHeight * 3, 0);
  counts.assign(std::size_t{midWidth} * midHeight, 0);
  auto* const piece = reinterpret_cast<unsigned char*>(scratch.piece.reserve(kPiece));
  if (piece == nullptr) {
    why = "out of memory";
    return false;
  }
  const std::uint64_t rowBytes = std::uint64_t{pixels.width} * 3;
  for (std::uint32_t stored = 0; stored < pixels.height; ++stored) {
    const std::uint32_t fromTop = pixels.topDown ? stored : pixels.height - 1 - stored;
    const std::uint64_t midRow = std::uint64_t{fromTop} * midHeight / pixels.height;
    const std::uint64_t rowStart = pixels.offset + std::uint64_t{stored} * pixels.stride;
    for (std::uint64_t at = 0; at < rowBytes;) {
      const std::uint64_t length = std::min<std::uint64_t>(kPiece, rowBytes - at);
      if (source.readAt(rowStart + at, reinterpret_cast<char*>(piece), length) !=
          static_cast<std::int64_t>(length)) {
        why = "the pixel array cannot be read whole";
        return false;
      }
      for (std::uint64_t byte = 0; byte < length; byte += 3) {
        const std::uint64_t x = (at + byte) / 3;
        const std::size_t cell =
            static_cast<std::size_t>(midRow * midWidth + x * midWidth / pixels.width);
        // Stored as blue, green, red.
        sums[cell * 3] += piece[byte + 2];
        sums[cell * 3 + 1] += piece[byte + 1];
        sums[cell * 3 + 2] += piece[byte];
        ++counts[cell];
      }
      at += length;
    }
  }

  thumbnail.width = outWidth;
  thumbnail.height = outHeight;
  thumbnail.pixels.resize(std::size_t{outWidth} * outHeight * 3);
  for (std::uint32_t y = 0; y < outHeight; ++y) {
    const std::size_t midY = std::size_t{y} * midHeight / outHeight;
    for (std::uint32_t x = 0; x < outWidth; ++x) {
      const std::size_t cell = midY * midWidth + std::size_t{x} * midWidth / outWidth;
      const std::uint64_t count = std::max<std::uint32_t>(counts[cell], 1);
      for (std::size_t channel = 0; channel < 3; ++channel) {
        thumbnail.pixels[(std::size_t{y} * outWidth + x) * 3 + channel] =
            static_cast<std::uint8_t>((sums[cell * 3 + channel] + count / 2) / count);
      }
    }
  }
  return true;
}

}  // namespace quillmark::report

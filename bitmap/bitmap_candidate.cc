#include "bitmap/bitmap_candidate.h"

namespace quillmark {

namespace {

std::uint32_t le32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint16_t le16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

}  // namespace

std::uint64_t bitmapCandidateSize(const std::uint8_t* bytes, std::size_t length) {
  if (length < kCandidateHeaderBytes || bytes[0] != 'B' || bytes[1] != 'M') return 0;
  if (le32(bytes + 6) != 0) return 0;  // bfReserved1 and bfReserved2
  const std::uint32_t infoSize = le32(bytes + 14);
  // The OS/2 core header keeps 16-bit dimensions, so its plane count comes earlier.
  std::uint16_t planes = 0;
  switch (infoSize) {
    case 12:
      planes = le16(bytes + 22);
      break;
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124:
      planes = le16(bytes + 26);
      break;
    default:
      return 0;
  }
  if (planes != 1) return 0;
  const std::uint32_t fileSize = le32(bytes + 2);   // bfSize
  const std::uint32_t pixelsAt = le32(bytes + 10);  // bfOffBits
  if (pixelsAt < 14 + infoSize || pixelsAt >= fileSize) return 0;
  return fileSize;
}

}  // namespace quillmark

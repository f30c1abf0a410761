#ifndef QUILLMARK_BITMAP_BITMAP_HEADER_VIEW_H_
#define QUILLMARK_BITMAP_BITMAP_HEADER_VIEW_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>

namespace quillmark {

// The first 32 bytes of a BMP file: the 14-byte file header and the start of
// the info header. Only four little-endian fields are interpreted; nothing
// else of the format is read or checked.
class BitmapHeaderView {
 public:
  static constexpr std::size_t kSize = 32;
  using Bytes = std::array<std::uint8_t, kSize>;

  explicit BitmapHeaderView(const Bytes& bytes) : bytes_(bytes) {}

  // Reads the first kSize bytes of `in` from its current position in one
  // piece. Bytes past the end of the file read as zero; a short read leaves
  // `in` in its failed state, as the standard stream does.
  static BitmapHeaderView readFrom(std::istream& in);

  // True when `bfType` holds the two characters "BM".
  bool hasBmpType() const;
  // Low 16 bits of `biWidth`, as an unsigned number: 70000 reads as 4464.
  std::uint32_t width() const { return field16(kBiWidthOffset); }
  // Low 16 bits of `biHeight`, as an unsigned number: -2 reads as 65534.
  std::uint32_t height() const { return field16(kBiHeightOffset); }
  // Bits per pixel; 24 is the only depth the detector expects.
  std::uint16_t biBitCount() const { return field16(kBiBitCountOffset); }

 private:
  static constexpr std::size_t kBfTypeOffset = 0;
  static constexpr std::size_t kBiWidthOffset = 18;
  static constexpr std::size_t kBiHeightOffset = 22;
  static constexpr std::size_t kBiBitCountOffset = 28;

  // The little-endian 16-bit number at `offset`.
  std::uint16_t field16(std::size_t offset) const;

  Bytes bytes_;  // as stored in the file, zero where the file ended early
};

}  // namespace quillmark

#endif  // QUILLMARK_BITMAP_BITMAP_HEADER_VIEW_H_

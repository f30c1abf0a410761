#ifndef QUILLMARK_BITMAP_PIXEL_BIT_READER_H_
#define QUILLMARK_BITMAP_PIXEL_BIT_READER_H_

#include <array>
#include <cstdint>
#include <istream>

namespace quillmark {

// Turns the pixel array of an open bitmap into a stream of hidden bytes: the
// lowest bit of each colour byte, walked column by column from the left, each
// column from the last stored row to the first, each pixel red, green, blue.
// The pixel array is located from the end of the file, never from the header.
//
// The reader holds one pixel and moves with relative seeks and 3-byte reads,
// so its cost does not depend on the picture size. It borrows the stream:
// while the reader lives nobody else may move or read it. Input failures show
// only as the stream's failed state; the walk then goes on with the last
// pixel it managed to read.
class PixelBitReader {
 public:
  // Seeks `input` to the first pixel of the walk (column 0 of the last
  // stored row) and reads it. `pixel` stays zero if that read fails.
  explicit PixelBitReader(std::uint32_t imageWidth, std::uint32_t imageHeight, std::istream& input);

  PixelBitReader(const PixelBitReader&) = delete;
  PixelBitReader& operator=(const PixelBitReader&) = delete;

  // Returns the next 8 hidden bits, the first in bit 0. Returns 0, dropping
  // the bits gathered so far, when the walk passes the last column; every
  // later call returns 0 at once without touching the stream.
  std::uint8_t nextByte();

 private:
  bool ranOut() const;
  void readPixel();

  std::uint8_t assembled = 0;           // byte being built by nextByte
  std::array<std::uint8_t, 3> pixel{};  // current pixel as stored: blue, green, red
  std::uint32_t column = 0;             // column of the current pixel
  std::uint32_t row = 0;                // pixels of this column used up
  std::int32_t channel = 0;             // 0 red, 1 green, 2 blue: next bit's colour
  const std::uint32_t width;            // picture width in pixels
  const std::uint32_t height;           // picture height in pixels
  std::istream& stream;                 // borrowed, never closed here
  // Bytes per stored row: 3 x width rounded up to a multiple of 4. Signed and
  // 64 bits wide, because the seeks built from it go backwards and must not
  // overflow for any 32-bit width.
  const std::streamoff rowStride;
};

}  // namespace quillmark

#endif  // QUILLMARK_BITMAP_PIXEL_BIT_READER_H_

#ifndef QUILLMARK_TESTS_TEST_BITMAP_H_
#define QUILLMARK_TESTS_TEST_BITMAP_H_

#include <cstdint>
#include <string>

namespace quillmark::testing {

// What a test bitmap looks like. The header carries the fields as given; the
// pixel array is laid out for the dimensions the detector derives from them
// (their low 16 bits), row after row, each padded to a multiple of 4 bytes.
struct BitmapShape {
  std::int32_t biWidth = 20;
  std::int32_t biHeight = 20;
  std::uint16_t biBitCount = 24;
  std::string bfType = "BM";
  std::size_t trailingBytes = 0;  // zero bytes after the pixel array
  int storedRows = -1;            // rows written; -1: as many as the height says
};

// A 24-bit "BM" picture of the given header dimensions with `storedRows`
// rows of pixels (-1: as many as the height says).
BitmapShape picture(std::int32_t biWidth, std::int32_t biHeight, int storedRows = -1);

// The bytes of a BMP file: a 54-byte header, then the pixel array. Colour
// bytes follow a gradient whose lowest bits vary, so that a picture carries
// no marker by accident.
std::string makeBitmap(const BitmapShape& shape);

// A 140-byte hidden record: `magic`, `name` zero-padded to 128 bytes (cut
// there if longer) and `length` as a little-endian double.
std::string makeRecord(const std::string& name, double length,
                       const std::string& magic = std::string("QMK\0", 4));

// Writes `hidden` into the lowest bits of `file` along the detector's walk
// for a picture of `width` x `height` whose pixel array ends `trailingBytes`
// before the end of `file`. Bits that fall outside the picture are dropped.
void embed(std::string& file, std::uint32_t width, std::uint32_t height, const std::string& hidden,
           std::size_t trailingBytes = 0);

// Flips bit `bit` of `bytes`, counting from bit 0 of byte 0.
void flipBit(std::string& bytes, std::size_t bit);

// makeBitmap with `hidden` embedded along the walk.
std::string makeBitmapWith(const BitmapShape& shape, const std::string& hidden);

}  // namespace quillmark::testing

#endif  // QUILLMARK_TESTS_TEST_BITMAP_H_

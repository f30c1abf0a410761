#include "tests/test_bitmap.h"

#include <algorithm>
#include <cstring>

namespace quillmark::testing {

namespace {

void put16(std::string& out, std::size_t at, std::uint32_t value) {
  out[at] = static_cast<char>(value & 0xFF);
  out[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& out, std::size_t at, std::uint32_t value) {
  put16(out, at, value & 0xFFFF);
  put16(out, at + 2, value >> 16);
}

std::size_t strideFor(std::uint32_t width) {
  return (3 * std::size_t{width} + 3) & ~std::size_t{3};
}

std::uint32_t low16(std::int32_t value) { return static_cast<std::uint32_t>(value) & 0xFFFF; }

}  // namespace

BitmapShape picture(std::int32_t biWidth, std::int32_t biHeight, int storedRows) {
  BitmapShape shape;
  shape.biWidth = biWidth;
  shape.biHeight = biHeight;
  shape.storedRows = storedRows;
  return shape;
}

std::string makeBitmap(const BitmapShape& shape) {
  const std::uint32_t width = low16(shape.biWidth);
  const std::uint32_t height = low16(shape.biHeight);
  const std::size_t stride = strideFor(width);
  const std::size_t rows =
      shape.storedRows < 0 ? height : static_cast<std::size_t>(shape.storedRows);
  const std::size_t pixelBytes = stride * rows;

  std::string file(54 + pixelBytes + shape.trailingBytes, '\0');
  file.replace(0, std::min<std::size_t>(2, shape.bfType.size()), shape.bfType, 0, 2);
  put32(file, 2, static_cast<std::uint32_t>(file.size()));  // bfSize
  put32(file, 10, 54);                                      // bfOffBits
  put32(file, 14, 40);                                      // biSize
  put32(file, 18, static_cast<std::uint32_t>(shape.biWidth));
  put32(file, 22, static_cast<std::uint32_t>(shape.biHeight));
  put16(file, 26, 1);  // biPlanes
  put16(file, 28, shape.biBitCount);
  put32(file, 34, static_cast<std::uint32_t>(pixelBytes));  // biSizeImage

  for (std::size_t y = 0; y < rows; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      for (std::size_t c = 0; c < 3; ++c) {
        file[54 + y * stride + 3 * x + c] = static_cast<char>((x * 7 + y * 13 + c * 5) & 0xFF);
      }
    }
  }
  return file;
}

std::string makeRecord(const std::string& name, double length, const std::string& magic) {
  std::string record(140, '\0');
  record.replace(0, 4, magic, 0, 4);
  record.replace(4, std::min<std::size_t>(name.size(), 128), name, 0, 128);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &length, sizeof bits);
  for (std::size_t i = 0; i < 8; ++i) record[132 + i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  return record;
}

void embed(std::string& file, std::uint32_t width, std::uint32_t height, const std::string& hidden,
           std::size_t trailingBytes) {
  // Height 0 is walked like height 1: along the last stored row.
  const std::size_t rows = std::max<std::uint32_t>(height, 1);
  const std::size_t stride = strideFor(width);
  const std::size_t end = file.size() - trailingBytes;
  for (std::size_t bit = 0; bit < 8 * hidden.size(); ++bit) {
    const std::size_t pixel = bit / 3;
    const std::size_t column = pixel / rows;
    const std::size_t rowFromLast = pixel % rows;
    if (column >= width || (rowFromLast + 1) * stride > end) return;
    // Red, green, blue: stored at byte 2, 1 and 0 of the pixel.
    const std::size_t at = end - (rowFromLast + 1) * stride + 3 * column + (2 - bit % 3);
    const int value = (static_cast<unsigned char>(hidden[bit / 8]) >> (bit % 8)) & 1;
    file[at] = static_cast<char>((file[at] & ~1) | value);
  }
}

void flipBit(std::string& bytes, std::size_t bit) {
  char& byte = bytes[bit / 8];
  byte = static_cast<char>(byte ^ (1 << (bit % 8)));
}

std::string makeBitmapWith(const BitmapShape& shape, const std::string& hidden) {
  std::string file = makeBitmap(shape);
  embed(file, low16(shape.biWidth), low16(shape.biHeight), hidden, shape.trailingBytes);
  return file;
}

}  // namespace quillmark::testing

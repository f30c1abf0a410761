#include "bitmap/pixel_bit_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/temp_file.h"
#include "tests/test_bitmap.h"

namespace quillmark {
namespace {

using testing::BitmapShape;
using testing::TempFile;

// The first `count` hidden bytes of `file` walked as width x height.
std::string walk(std::istream& in, std::uint32_t width, std::uint32_t height, std::size_t count) {
  PixelBitReader reader(width, height, in);
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i) bytes += static_cast<char>(reader.nextByte());
  return bytes;
}

// Walks `file` from memory and from disk, and checks that both agree.
std::string walkBoth(const std::string& file, std::uint32_t width, std::uint32_t height,
                     std::size_t count = 140) {
  std::istringstream memory(file);
  std::string fromMemory = walk(memory, width, height, count);
  const TempFile temp(file);
  std::ifstream disk(temp.path(), std::ios_base::binary);
  EXPECT_EQ(walk(disk, width, height, count), fromMemory) << "file and memory streams differ";
  return fromMemory;
}

// The hidden bit set by one colour byte, for a 2 x 3 picture (8-byte rows).
// Columns go left to right, each from the last stored row up to the first;
// each pixel gives red, green, blue, filling bytes from bit 0.
TEST(PixelBitReaderTest, BitOrderAcrossPixelsAndBytes) {
  struct Case {
    std::size_t column, storedRow, byteInPixel;  // byte 0 blue, 1 green, 2 red
    int hiddenBit;                               // -1: never seen
  };
  const Case cases[] = {
      {0, 2, 2, 0},  {0, 2, 1, 1},  {0, 2, 0, 2},   // first pixel: red, green, blue
      {0, 1, 2, 3},  {0, 0, 1, 7},                  // down the first column
      {0, 0, 0, 8},                                 // a pixel split across two bytes
      {1, 2, 2, 9},  {1, 1, 0, 14}, {1, 0, 2, 15},  // then the second column
      {1, 0, 1, -1},                                // bit 16: the run-out drops it
      {2, 2, 0, -1},                                // a padding byte of the last row
  };
  for (const Case& c : cases) {
    std::string file(24, '\0');
    file[8 * c.storedRow + 3 * c.column + c.byteInPixel] = 1;
    const std::string hidden = walkBoth(file, 2, 3, 3);
    std::string expected(3, '\0');
    if (c.hiddenBit >= 0) testing::flipBit(expected, static_cast<std::size_t>(c.hiddenBit));
    EXPECT_EQ(hidden, expected) << "column " << c.column << ", stored row " << c.storedRow
                                << ", byte " << c.byteInPixel;
  }
}

// A record embedded along the walk comes back whole while the picture has
// 374 pixels; with fewer, the byte in which the walk runs out and every later
// one come back as 0.
TEST(PixelBitReaderTest, ReadsTheEmbeddedRecordUntilTheWalkRunsOut) {
  struct Case {
    const char* what;
    std::int32_t biWidth, biHeight;
    std::size_t trailingBytes;
    std::size_t wholeBytes;  // leading bytes that match the record
  };
  const Case cases[] = {
      {"one column of 374", 1, 374, 0, 140},
      {"one stored row of 374", 374, 1, 0, 140},
      {"padded rows, 5 wide, 80 high", 5, 80, 0, 140},
      {"30 x 20, nineteen columns", 30, 20, 0, 140},
      {"2 x 187: two columns, exact fit", 2, 187, 0, 140},
      {"373 pixels: bit 6 of byte 139 runs out", 1, 373, 0, 139},
      {"300 pixels run out in byte 112", 3, 100, 0, 112},
      {"width 70000 walked as 4464", 70000, 1, 0, 140},
      {"top-down -2 walked as 65534 high", 1, -2, 0, 140},
      {"trailing bytes, walked from the end of file", 20, 20, 7, 140},
  };
  const std::string record = testing::makeRecord("secret.pdf", 98765);
  for (const Case& c : cases) {
    BitmapShape shape = testing::picture(c.biWidth, c.biHeight);
    shape.trailingBytes = c.trailingBytes;
    std::string file = testing::makeBitmap(shape);
    const auto width = static_cast<std::uint32_t>(c.biWidth) & 0xFFFF;
    const auto height = static_cast<std::uint32_t>(c.biHeight) & 0xFFFF;
    testing::embed(file, width, height, record);  // along the walk, anchored at the end of file
    std::string expected = record.substr(0, c.wholeBytes);
    expected.resize(140, '\0');
    EXPECT_EQ(walkBoth(file, width, height), expected) << c.what;
  }
}

TEST(PixelBitReaderTest, CallsAfterTheRunOutReturnZeroWithoutInput) {
  std::string file(8, '\xFF');  // 1 x 2: six bits, then the walk runs out
  std::istringstream in(file);
  PixelBitReader reader(1, 2, in);
  EXPECT_EQ(reader.nextByte(), 0) << "the byte in which the walk runs out";
  const std::streampos where = in.tellg();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(reader.nextByte(), 0) << "call " << i;
  EXPECT_EQ(in.tellg(), where);
}

// Once a seek or read fails, the stream stays failed: `pixel` keeps what it
// held and the walk goes on counting, so the run-out comes at the same place.
TEST(PixelBitReaderTest, FailedStreamRepeatsTheLastPixelHeld) {
  struct Case {
    const char* what;
    std::string file;
    std::uint32_t width, height;
    std::string expected;
  };
  // 1 x 100 declared, 10 rows stored; the first row in the file has red and
  // blue set. Walking up from the last row, pixel 9 is that row, and the seek
  // to a tenth row lands before the file: bits 27 to 299 repeat red, green,
  // blue = 1, 0, 1; byte 37 holds the run-out.
  std::string tenRows(40, '\0');
  tenRows[0] = 1;
  tenRows[2] = 1;
  std::string repeated(40, '\0');
  for (std::size_t bit = 27; bit < 296; ++bit) {
    if (bit % 3 != 1) testing::flipBit(repeated, bit);
  }
  const Case cases[] = {
      {"rows missing before the file", tenRows, 1, 100, repeated},
      {"row stride longer than the file", std::string(10, '\xFF'), 100, 1, std::string(40, '\0')},
      {"width 0 meets the end of file", std::string(10, '\xFF'), 0, 5, std::string(40, '\0')},
      {"empty file", "", 3, 3, std::string(40, '\0')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(walkBoth(c.file, c.width, c.height, 40), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace quillmark

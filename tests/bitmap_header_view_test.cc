#include "bitmap/bitmap_header_view.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/test_bitmap.h"

namespace quillmark {
namespace {

using testing::BitmapShape;
using testing::makeBitmap;

BitmapShape shape(std::int32_t width, std::int32_t height, std::uint16_t bits = 24) {
  BitmapShape s = testing::picture(width, height);
  s.biBitCount = bits;
  return s;
}

TEST(BitmapHeaderViewTest, FieldsAreTheLow16BitsReadLittleEndian) {
  struct Case {
    const char* what;
    std::string file;
    bool bmpType;
    std::uint32_t width, height;
    std::uint16_t bits;
    bool streamFailed;
  };
  const std::string valid = makeBitmap(shape(20, 3));
  const Case cases[] = {
      {"valid 24-bit bitmap", valid, true, 20, 3, 24, false},
      {"32-bit bitmap", makeBitmap(shape(2, 2, 32)), true, 2, 2, 32, false},
      {"width 70000 wraps", makeBitmap(shape(70000, 1)), true, 4464, 1, 24, false},
      {"width 65535", makeBitmap(shape(65535, 1)), true, 65535, 1, 24, false},
      {"top-down height -2", makeBitmap(shape(1, -2)), true, 1, 65534, 24, false},
      {"top-down height -100", makeBitmap(shape(1, -100)), true, 1, 65436, 24, false},
      {"PNG signature", std::string("\x89PNG\r\n\x1a\n") + std::string(40, 'x'), false, 0x7878,
       0x7878, 0x7878, false},
      {"type \"MB\"", "MB" + valid.substr(2), false, 20, 3, 24, false},
      {"file ends before the height", valid.substr(0, 22), true, 20, 0, 0, true},
      {"file of 31 bytes", valid.substr(0, 31), true, 20, 3, 24, true},
      {"empty file", "", false, 0, 0, 0, true},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.file);
    const BitmapHeaderView header = BitmapHeaderView::readFrom(in);
    EXPECT_EQ(header.hasBmpType(), c.bmpType) << c.what;
    EXPECT_EQ(header.width(), c.width) << c.what;
    EXPECT_EQ(header.height(), c.height) << c.what;
    EXPECT_EQ(header.biBitCount(), c.bits) << c.what;
    EXPECT_EQ(in.fail(), c.streamFailed) << c.what;
  }
}

}  // namespace
}  // namespace quillmark

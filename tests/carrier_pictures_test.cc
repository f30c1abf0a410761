// Pictures of carriers: thumbnails of the right size, the right way up, the
// colours of the pixels they cover; low bits where the walk reads them, the
// record's cells outlined.

#include "report/carrier_thumbnail.h"
#include "report/low_bits_picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "tests/test_bitmap.h"

namespace quillmark::report {
namespace {

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
};

void put(std::string& bytes, std::size_t at, std::uint32_t value, int count) {
  for (int i = 0; i < count; ++i)
    bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

// A 24-bit BMP of `width` x `height` pixels whose pixel (x, y from the top)
// is colour(x, y); rows stored bottom-up, or top-down (a negative height).
std::string makeBmp(std::uint32_t width, std::uint32_t height, bool topDown,
                    const std::function<Rgb(std::uint32_t, std::uint32_t)>& colour) {
  const std::size_t stride = (std::size_t{width} * 3 + 3) / 4 * 4;
  std::string bytes(54 + stride * height, '\0');
  bytes[0] = 'B';
  bytes[1] = 'M';
  put(bytes, 2, static_cast<std::uint32_t>(bytes.size()), 4);
  put(bytes, 10, 54, 4);
  put(bytes, 14, 40, 4);
  put(bytes, 18, width, 4);
  put(bytes, 22, topDown ? static_cast<std::uint32_t>(-static_cast<std::int32_t>(height)) : height,
      4);
  put(bytes, 26, 1, 2);
  put(bytes, 28, 24, 2);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint32_t stored = topDown ? y : height - 1 - y;
    for (std::uint32_t x = 0; x < width; ++x) {
      const Rgb c = colour(x, y);
      const std::size_t at = 54 + stored * stride + std::size_t{x} * 3;
      bytes[at] = static_cast<char>(c.b);
      bytes[at + 1] = static_cast<char>(c.g);
      bytes[at + 2] = static_cast<char>(c.r);
    }
  }
  return bytes;
}

class StringSource final : public ContentSource {
 public:
  explicit StringSource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (offset >= bytes_.size()) return 0;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes_.size() - offset));
    std::memcpy(into, bytes_.data() + offset, n);
    return static_cast<std::int64_t>(n);
  }

 private:
  std::string bytes_;
};

Rgb at(const RgbPicture& picture, std::uint32_t x, std::uint32_t y) {
  const std::size_t i = (std::size_t{y} * picture.width + x) * 3;
  return {picture.pixels[i], picture.pixels[i + 1], picture.pixels[i + 2]};
}

constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kGreen{0, 255, 0};
constexpr Rgb kWhite{255, 255, 255};

TEST(CarrierThumbnailTest, SizesKeepProportionsBetweenTheBounds) {
  struct Row {
    std::uint32_t width, height, wantWidth, wantHeight;
  } rows[] = {
      {1000, 500, 256, 128},                        // shrunk
      {300, 300, 256, 256},  {100, 200, 100, 200},  // within the bounds: as it is
      {10, 5, 64, 32},                              // enlarged
      {5000, 1, 256, 1},                            // a side never falls below one pixel
  };
  for (const Row& row : rows) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    thumbnailSize(row.width, row.height, width, height);
    EXPECT_EQ(width, row.wantWidth) << row.width << "x" << row.height;
    EXPECT_EQ(height, row.wantHeight) << row.width << "x" << row.height;
  }
}

TEST(CarrierThumbnailTest, PixelsComeOutTheRightWayUpAndAveraged) {
  // Quadrants: red top left, blue top right, green bottom left, white
  // bottom right.
  const auto quadrants = [](std::uint32_t w, std::uint32_t h) {
    return [w, h](std::uint32_t x, std::uint32_t y) {
      const bool right = x >= w / 2;
      const bool bottom = y >= h / 2;
      return bottom ? (right ? kWhite : kGreen) : (right ? kBlue : kRed);
    };
  };
  struct Row {
    const char* what;
    std::uint32_t width, height;
    bool topDown;
  } rows[] = {
      {"2 x 2 bottom-up, enlarged", 2, 2, false},
      {"2 x 2 top-down, enlarged", 2, 2, true},
      {"600 x 300 shrunk", 600, 300, false},
      {"odd width, padded rows", 7, 6, false},
  };
  for (const Row& row : rows) {
    StringSource source(
        makeBmp(row.width, row.height, row.topDown, quadrants(row.width, row.height)));
    RgbPicture thumbnail;
    std::string why;
    ASSERT_TRUE(makeCarrierThumbnail(source, thumbnail, why)) << row.what << ": " << why;
    const std::uint32_t w = thumbnail.width;
    const std::uint32_t h = thumbnail.height;
    EXPECT_EQ(at(thumbnail, 0, 0), kRed) << row.what;
    EXPECT_EQ(at(thumbnail, w - 1, 0), kBlue) << row.what;
    EXPECT_EQ(at(thumbnail, 0, h - 1), kGreen) << row.what;
    EXPECT_EQ(at(thumbnail, w - 1, h - 1), kWhite) << row.what;
  }
  // Alternating black and white columns shrink to grey: the mean, not a pick.
  StringSource stripes(makeBmp(512, 4, false, [](std::uint32_t x, std::uint32_t) {
    return x % 2 == 0 ? Rgb{0, 0, 0} : kWhite;
  }));
  RgbPicture thumbnail;
  std::string why;
  ASSERT_TRUE(makeCarrierThumbnail(stripes, thumbnail, why)) << why;
  EXPECT_EQ(thumbnail.width, 256U);
  EXPECT_EQ(at(thumbnail, 10, 1), (Rgb{128, 128, 128}));
}

TEST(CarrierThumbnailTest, WhatCannotBeDecodedSaysWhy) {
  using testing::makeBitmap;
  using testing::picture;
  testing::BitmapShape deep = picture(4, 4);
  deep.biBitCount = 32;
  testing::BitmapShape notBmp = picture(4, 4);
  notBmp.bfType = "XM";
  std::string compressed = makeBitmap(picture(4, 4));
  compressed[30] = 1;
  struct Row {
    const char* what;
    std::string bytes;
    const char* why;
  } rows[] = {
      {"32-bit", makeBitmap(deep), "a 32-bit BMP, not a 24-bit one"},
      {"compressed", compressed, "a compressed BMP"},
      {"zero width", makeBitmap(picture(0, 4)), "a BMP without pixels"},
      {"cut short", makeBitmap(picture(40, 40, 30)),
       "the pixel array runs past the end of the file"},
      {"not a BMP", makeBitmap(notBmp), "not a BMP file"},
      {"too short", "BM", "the file is too short for a BMP header"},
  };
  for (const Row& row : rows) {
    StringSource source(row.bytes);
    RgbPicture thumbnail;
    std::string why;
    EXPECT_FALSE(makeCarrierThumbnail(source, thumbnail, why)) << row.what;
    EXPECT_EQ(why, row.why) << row.what;
  }
}

TEST(LowBitsPictureTest, CellsShowTheLowBitsAndOutlineTheRecord) {
  // Low bits: red where x is odd, green where y (from the top) is odd.
  const auto bits = [](std::uint32_t x, std::uint32_t y) {
    return Rgb{static_cast<std::uint8_t>(100 + x % 2), static_cast<std::uint8_t>(50 + y % 2), 10};
  };
  constexpr Rgb kOrange{kOutline[0], kOutline[1], kOutline[2]};
  struct Row {
    const char* what;
    std::uint32_t width, height, column, down;
    bool left, right, top, bottom;  // edges outlined
  } rows[] = {
      // 200 rows: the record takes column 0 and 174 pixels of column 1.
      {"tall, first column", 5, 200, 0, 10, true, false, false, false},
      {"tall, second column", 5, 200, 1, 10, false, true, false, false},
      {"tall, outside", 5, 200, 2, 10, false, false, false, false},
      {"tall, first pixel", 5, 200, 0, 0, true, false, true, false},
      // 10 rows: the record ends at the 4th pixel of column 37.
      {"short, last record pixel", 64, 10, 37, 3, false, true, false, true},
      {"short, after the record", 64, 10, 37, 4, false, false, false, false},
      {"short, column bottom", 64, 10, 5, 9, false, false, false, true},
  };
  for (const Row& row : rows) {
    StringSource source(makeBmp(row.width, row.height, false, bits));
    RgbPicture picture;
    std::string why;
    ASSERT_TRUE(makeLowBitsPicture(source, picture, why)) << row.what << ": " << why;
    const std::uint32_t cell = picture.height / std::min(row.height, kLowBitsWindow);
    const std::uint32_t x0 = row.column * cell;
    const std::uint32_t y0 = row.down * cell;
    const Rgb centre = at(picture, x0 + cell / 2, y0 + cell / 2);
    EXPECT_EQ(centre, (Rgb{static_cast<std::uint8_t>(row.column % 2 ? 255 : 24),
                           static_cast<std::uint8_t>(row.down % 2 ? 255 : 24), 24}))
        << row.what;
    EXPECT_EQ(at(picture, x0, y0 + cell / 2) == kOrange, row.left) << row.what;
    EXPECT_EQ(at(picture, x0 + cell - 1, y0 + cell / 2) == kOrange, row.right) << row.what;
    EXPECT_EQ(at(picture, x0 + cell / 2, y0) == kOrange, row.top) << row.what;
    EXPECT_EQ(at(picture, x0 + cell / 2, y0 + cell - 1) == kOrange, row.bottom) << row.what;
  }
}

TEST(LowBitsPictureTest, RowsBeforeTheFileStartAreGreyAndEmptyFilesFail) {
  // Two rows' worth of pixels behind a header that claims eight: the walk's
  // third and fourth rows are the header's bytes, the rest lie before the
  // file.
  std::string bytes = makeBmp(4, 8, false, [](std::uint32_t, std::uint32_t) { return kWhite; });
  bytes.erase(32, bytes.size() - 32 - std::size_t{24});
  StringSource cut(bytes);
  RgbPicture picture;
  std::string why;
  ASSERT_TRUE(makeLowBitsPicture(cut, picture, why)) << why;
  const std::uint32_t cell = picture.height / 8;
  EXPECT_EQ(at(picture, cell / 2 + cell, cell / 2 + cell), (Rgb{255, 255, 255}));
  EXPECT_EQ(at(picture, cell / 2 + cell, cell / 2 + 5 * cell),
            (Rgb{kUnreadGrey, kUnreadGrey, kUnreadGrey}));
  StringSource empty(std::string(10, 'B'));
  EXPECT_FALSE(makeLowBitsPicture(empty, picture, why));
  EXPECT_EQ(why, "the file is too short for a BMP header");
}

}  // namespace
}  // namespace quillmark::report

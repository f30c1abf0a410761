// A picture encoded as PNG reads back, through libpng, as the same pixels.

#include "report/png_encoding.h"

#include <gtest/gtest.h>
#include <png.h>

#include <string>
#include <vector>

namespace quillmark::report {
namespace {

TEST(PngEncodingTest, LibpngReadsBackThePixels) {
  ASSERT_TRUE(pngSupported());
  RgbPicture picture;
  picture.width = 3;
  picture.height = 2;
  picture.pixels = {255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::string png = "prefix";
  std::string why;
  ASSERT_TRUE(encodePng(picture, png, why)) << why;
  ASSERT_EQ(png.compare(0, 6, "prefix"), 0);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_memory(&image, png.data() + 6, png.size() - 6), 0);
  image.format = PNG_FORMAT_RGB;
  std::vector<std::uint8_t> back(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr), 0);
  EXPECT_EQ(image.width, 3U);
  EXPECT_EQ(image.height, 2U);
  EXPECT_EQ(back, picture.pixels);
}

}  // namespace
}  // namespace quillmark::report

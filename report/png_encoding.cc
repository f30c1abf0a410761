#include "report/png_encoding.h"

#include <png.h>

namespace quillmark::report {

bool pngSupported() { return true; }

std::string pngLibraryVersion() { return png_get_libpng_ver(nullptr); }

bool encodePng(const RgbPicture& picture, std::string& png, std::string& why) {
  // libpng's simplified interface: no setjmp, and the size is asked first.
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = picture.width;
  image.height = picture.height;
  image.format = PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (picture.pixels.size() != std::size_t{picture.width} * picture.height * 3 ||
      png_image_write_to_memory(&image, nullptr, &size, 0, picture.pixels.data(), 0, nullptr) ==
          0) {
    why = std::string("libpng refused the picture: ") + image.message;
    png_image_free(&image);
    return false;
  }
  const std::size_t at = png.size();
  png.resize(at + size);
  if (png_image_write_to_memory(&image, &png[at], &size, 0, picture.pixels.data(), 0, nullptr) ==
      0) {
    why = std::string("libpng refused the picture: ") + image.message;
    png.resize(at);
    png_image_free(&image);
    return false;
  }
  png.resize(at + size);
  return true;
}

}  // namespace quillmark::report

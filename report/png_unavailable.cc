// Stands in for the PNG encoder in a build without libpng: pictures are then
// left out of reports, each with a placeholder that says why.

#include "report/png_encoding.h"

namespace quillmark::report {

bool pngSupported() { return false; }

std::string pngLibraryVersion() { return {}; }

bool encodePng(const RgbPicture&, std::string&, std::string& why) {
  why = "this build of quillmark-scan has no libpng";
  return false;
}

bool encodePng(const RgbPicture& picture, PageAlignedBuffer&, std::string& png, std::string& why) {
  return encodePng(picture, png, why);
}

}  // namespace quillmark::report

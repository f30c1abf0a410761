#ifndef QUILLMARK_REPORT_PNG_ENCODING_H_
#define QUILLMARK_REPORT_PNG_ENCODING_H_

#include <string>

#include "analysis/page_aligned_buffer.h"
#include "report/carrier_thumbnail.h"

namespace quillmark::report {

// True when this build writes PNG pictures (it was built with libpng).
bool pngSupported();

// The version of libpng this build runs with, or empty without it.
std::string pngLibraryVersion();

// Appends `picture` to `png` as a PNG file (8-bit RGB), through libpng.
// Returns false, with `why` set, when it cannot: no libpng in this build, or
// the library refused the picture.
bool encodePng(const RgbPicture& picture, std::string& png, std::string& why);
// The same, compressing into `scratch`, which a caller that encodes many
// pictures keeps, so that only the PNG's own bytes are allocated.
bool encodePng(const RgbPicture& picture, PageAlignedBuffer& scratch, std::string& png,
               std::string& why);

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_PNG_ENCODING_H_

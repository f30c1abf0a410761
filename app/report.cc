#include "app/report.h"

#include "app/hidden_record.h"
#include "bitmap/bitmap_header_view.h"
#include "bitmap/pixel_bit_reader.h"

#ifndef QUILLMARK_VERSION
#error "QUILLMARK_VERSION must be defined by the build"
#endif

namespace quillmark {

void writeTitle(std::ostream& out) {
  out << "Quillmark Detector " QUILLMARK_VERSION " " << std::endl;
}

bool writeReport(std::string_view path, std::istream& image, std::ostream& out) {
  const BitmapHeaderView header = BitmapHeaderView::readFrom(image);
  // The walk moves by seeks; an input that cannot seek (a pipe) would be
  // walked as if it were empty and wrongly reported clean. A short file has
  // already failed here, and is reported from the bytes it gave.
  const bool unseekable = !image.fail() && image.tellg() == std::streampos(-1);
  if (image.bad() || unseekable) return false;

  out << "Analysing file " << path << std::endl;
  if (!header.hasBmpType()) out << "Not a BMP file" << std::endl;
  if (header.biBitCount() != 24) out << "Colour depth should be 24 bits" << std::endl;

  PixelBitReader reader(header.width(), header.height(), image);
  const HiddenRecord record = HiddenRecord::readFrom(reader);
  if (record.hasMarker()) {
    out << "Steganographic message detected." << std::endl;
    out << "embedded file name: " << record.fileName() << std::endl;
    out << "length of embedded data: " << record.dataLength() << std::endl;
  } else {
    out << "File does not contain any Quillmark hidden data. " << std::endl;
  }
  return true;
}

}  // namespace quillmark

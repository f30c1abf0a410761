#include "analysis/analysis.h"

#include "analysis/read_ahead.h"
#include "bitmap/bitmap_header_view.h"
#include "bitmap/pixel_bit_reader.h"

namespace quillmark {

std::optional<Analysis> analyse(std::istream& image, int readAheadFd) {
  const BitmapHeaderView header = BitmapHeaderView::readFrom(image);
  // The walk moves by seeks; an input that cannot seek (a pipe) would be
  // walked as if it were empty and wrongly reported clean. A short file has
  // already failed here, and is analysed from the bytes it gave.
  const bool unseekable = !image.fail() && image.tellg() == std::streampos(-1);
  if (image.bad() || unseekable) return std::nullopt;

  // A failed stream reads nothing more, so there is nothing to hint.
  if (readAheadFd >= 0 && image.good()) {
    adviseWalkReadAhead(readAheadFd, header.width(), header.height());
  }
  PixelBitReader reader(header.width(), header.height(), image);
  return Analysis{header.hasBmpType(), header.biBitCount() == 24, HiddenRecord::readFrom(reader)};
}

}  // namespace quillmark

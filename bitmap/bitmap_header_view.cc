#include "bitmap/bitmap_header_view.h"

namespace quillmark {

BitmapHeaderView BitmapHeaderView::readFrom(std::istream& in) {
  Bytes bytes{};  // zero, so that bytes the file does not reach stay zero
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return BitmapHeaderView(bytes);
}

bool BitmapHeaderView::hasBmpType() const {
  return bytes_[kBfTypeOffset] == 'B' && bytes_[kBfTypeOffset + 1] == 'M';
}

std::uint16_t BitmapHeaderView::field16(std::size_t offset) const {
  return static_cast<std::uint16_t>(bytes_[offset] | (bytes_[offset + 1] << 8));
}

}  // namespace quillmark

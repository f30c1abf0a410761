#include "report/carrier_pictures.h"

#include "report/low_bits_picture.h"
#include "report/png_encoding.h"

namespace quillmark::report {

void CarrierPainter::paint(ContentSource& source, CarrierPictures& pictures) {
  pictures.clear();
  if (makeCarrierThumbnail(source, picture_, pictures.thumbnailWhy, thumbnail_)) {
    (void)encodePng(picture_, png_, pictures.thumbnail, pictures.thumbnailWhy);
  }
  if (makeLowBitsPicture(source, picture_, pictures.lowBitsWhy)) {
    (void)encodePng(picture_, png_, pictures.lowBits, pictures.lowBitsWhy);
  }
}

}  // namespace quillmark::report

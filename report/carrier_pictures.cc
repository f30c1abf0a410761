#include "report/carrier_pictures.h"

#include "report/carrier_thumbnail.h"
#include "report/low_bits_picture.h"
#include "report/png_encoding.h"

namespace quillmark::report {

void makeCarrierPictures(ContentSource& source, CarrierPictures& pictures) {
  pictures.clear();
  RgbPicture picture;
  if (makeCarrierThumbnail(source, picture, pictures.thumbnailWhy)) {
    (void)encodePng(picture, pictures.thumbnail, pictures.thumbnailWhy);
  }
  if (makeLowBitsPicture(source, picture, pictures.lowBitsWhy)) {
    (void)encodePng(picture, pictures.lowBits, pictures.lowBitsWhy);
  }
}

}  // namespace quillmark::report

#ifndef QUILLMARK_REPORT_CARRIER_PICTURES_H_
#define QUILLMARK_REPORT_CARRIER_PICTURES_H_

#include <string>

#include "analysis/content_source.h"
#include "analysis/page_aligned_buffer.h"
#include "report/carrier_thumbnail.h"

namespace quillmark::report {

// The pictures a report shows of a carrier with a payload, as PNG files: a
// thumbnail of the carrier and its low bits where the walk went. A picture
// that could not be made is empty, and `why` says what stood in the way.
struct CarrierPictures {
  std::string thumbnail;     // PNG, or empty
  std::string lowBits;       // PNG, or empty
  std::string thumbnailWhy;  // why there is no thumbnail
  std::string lowBitsWhy;    // why there is no low-bits picture

  bool empty() const {
    return thumbnail.empty() && lowBits.empty() && thumbnailWhy.empty() && lowBitsWhy.empty();
  }
  void clear() {
    thumbnail.clear();
    lowBits.clear();
    thumbnailWhy.clear();
    lowBitsWhy.clear();
  }
};

// Draws carriers for a report. One painter serves one thread and keeps its
// buffers from carrier to carrier.
class CarrierPainter {
 public:
  // Reads the carrier that `source` holds again and draws both pictures
  // (makeCarrierThumbnail, makeLowBitsPicture), encoded by encodePng. Memory
  // is that of the pictures, whatever the carrier's size.
  void paint(ContentSource& source, CarrierPictures& pictures);

 private:
  RgbPicture picture_;
  ThumbnailScratch thumbnail_;
  PageAlignedBuffer png_;
};

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_CARRIER_PICTURES_H_

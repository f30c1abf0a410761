#ifndef QUILLMARK_TESTS_SAMPLES_H_
#define QUILLMARK_TESTS_SAMPLES_H_

#include <string>

#include "tests/test_bitmap.h"

namespace quillmark::testing {

// The picture of both samples: 30 x 20 pixels, rows padded from 90 to 92 bytes.
inline BitmapShape samplePicture() { return picture(30, 20); }

// samples/clean.bmp: the picture alone.
inline std::string cleanSample() { return makeBitmap(samplePicture()); }

// samples/notes.bmp: the picture with a record for notes.txt, 1234 bytes long.
inline std::string notesSample() {
  return makeBitmapWith(samplePicture(), makeRecord("notes.txt", 1234));
}

}  // namespace quillmark::testing

#endif  // QUILLMARK_TESTS_SAMPLES_H_

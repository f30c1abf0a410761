#include "bitmap/pixel_bit_reader.h"

namespace quillmark {

namespace {

// 3 x width rounded up to the next multiple of 4.
std::streamoff strideFor(std::uint32_t width) {
  return static_cast<std::streamoff>((3 * static_cast<std::uint64_t>(width) + 3) &
                                     ~static_cast<std::uint64_t>(3));
}

}  // namespace

PixelBitReader::PixelBitReader(std::uint32_t imageWidth, std::uint32_t imageHeight,
                               std::istream& input)
    : width(imageWidth), height(imageHeight), stream(input), rowStride(strideFor(imageWidth)) {
  stream.seekg(-rowStride, std::ios_base::end);
  readPixel();
}

std::uint8_t PixelBitReader::nextByte() {
  if (ranOut()) return 0;
  assembled = 0;
  for (unsigned bit = 0; bit < 8; ++bit) {
    const unsigned colour = pixel[static_cast<std::size_t>(2 - channel)] & 1U;
    assembled = static_cast<std::uint8_t>(assembled | (colour << bit));
    if (++channel <= 2) continue;

    // The pixel is used up: load the next one now, even if this bit ended
    // the byte, so that the next call starts on a loaded pixel.
    channel = 0;
    if (++row < height) {
      // Back over the pixel just read and one whole row: same column, one
      // stored row earlier in the file.
      stream.seekg(-(rowStride + 3), std::ios_base::cur);
    } else {
      row = 0;
      if (++column >= width) return 0;
      stream.seekg(3 * static_cast<std::streamoff>(column) - rowStride, std::ios_base::end);
    }
    readPixel();
  }
  return assembled;
}

// Before the run-out `column` stays below `width`, except for width 0, whose
// one column 0 is still walked; the run-out leaves `column` at max(width, 1).
bool PixelBitReader::ranOut() const { return column != 0 && column >= width; }

// A short read keeps the bytes it reached and leaves the rest of `pixel` as it
// was; a failed stream reads nothing at all.
void PixelBitReader::readPixel() {
  stream.read(reinterpret_cast<char*>(pixel.data()), static_cast<std::streamsize>(pixel.size()));
}

}  // namespace quillmark

#ifndef QUILLMARK_REPORT_LOW_BITS_PICTURE_H_
#define QUILLMARK_REPORT_LOW_BITS_PICTURE_H_

#include <cstdint>
#include <string>

#include "analysis/content_source.h"
#include "report/carrier_thumbnail.h"

namespace quillmark::report {

// The window of a carrier that its low-bits picture shows: the first
// kLowBitsWindow columns of the walk and, in each, the first kLowBitsWindow
// pixels the walk reads (from the last stored row back).
inline constexpr std::uint32_t kLowBitsWindow = 64;
// The picture's long side is about this many pixels; a cell is at least
// kLowBitsMinCell pixels wide, so that the outline leaves its colour seen.
inline constexpr std::uint32_t kLowBitsSide = 256;
inline constexpr std::uint32_t kLowBitsMinCell = 4;

// The colours of the picture: a cell that the walk could not read, and the
// outline around the cells that hold the hidden record.
inline constexpr std::uint8_t kUnreadGrey = 128;
inline constexpr std::uint8_t kOutline[3] = {255, 128, 0};

// Draws the lowest bit of each colour byte of the window the walk starts in,
// one cell per pixel in the walk's own geometry: column x of the picture is
// the walk's column x, row y its y-th pixel down that column (the last
// stored row first, so an ordinary bottom-up BMP shows the right way up).
// A cell is red, green and blue at full strength where that colour's low bit
// is 1 and dark where it is 0, so that hidden data shows as noise beside the
// smooth low bits of an untouched picture. The cells of the first
// ReadPlan::kMaxPixels pixels of the walk, which hold the hidden record, are
// outlined in kOutline; a cell the walk would find before the start of the
// file is kUnreadGrey.
//
// Width and height are those the walk takes (the low 16 bits of the
// header's fields) and the pixel array is located from the end of the file,
// as the walk locates it, so the picture shows the very bits the analysis
// read. Returns false, with `why` set, when the file is too short for a
// header, has no pixels, or cannot be read.
bool makeLowBitsPicture(ContentSource& source, RgbPicture& picture, std::string& why);

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_LOW_BITS_PICTURE_H_

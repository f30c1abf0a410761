#include "report/low_bits_picture.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "bitmap/bitmap_header_view.h"
#include "bitmap/read_plan.h"

namespace quillmark::report {

namespace {

// True when the walk's pixel at (column, down) holds bits of the record.
bool holdsRecord(std::uint64_t column, std::uint64_t down, std::uint64_t height) {
  return column * height + down < ReadPlan::kMaxPixels;
}

}  // namespace

bool makeLowBitsPicture(ContentSource& source, RgbPicture& picture, std::string& why) {
  BitmapHeaderView::Bytes header{};
  const std::int64_t got =
      source.readAt(0, reinterpret_cast<char*>(header.data()), BitmapHeaderView::kSize);
  if (got < 0) {
    why = "the file cannot be read";
    return false;
  }
  if (got < static_cast<std::int64_t>(BitmapHeaderView::kSize)) {
    why = "the file is too short for a BMP header";
    return false;
  }
  const BitmapHeaderView view(header);
  const std::uint32_t width = view.width();
  const std::uint32_t height = view.height();
  if (width == 0 || height == 0) {
    why = "a BMP without pixels";
    return false;
  }
  const std::uint32_t columns = std::min(width, kLowBitsWindow);
  const std::uint32_t rows = std::min(height, kLowBitsWindow);
  const std::uint32_t cell = std::max(kLowBitsMinCell, kLowBitsSide / std::max(columns, rows));
  picture.width = columns * cell;
  picture.height = rows * cell;
  picture.pixels.resize(std::size_t{picture.width} * picture.height * 3);  // every cell is drawn

  const std::uint64_t stride = (std::uint64_t{width} * 3 + 3) / 4 * 4;
  const std::uint64_t size = source.size();
  std::array<std::uint8_t, std::size_t{kLowBitsWindow} * 3> row{};
  for (std::uint32_t down = 0; down < rows; ++down) {
    // The walk's row `down` is the stored row that ends `down` rows before
    // the last one; one before the start of the file is never read.
    const std::uint64_t back = (std::uint64_t{down} + 1) * stride;
    std::int64_t have = 0;
    if (back <= size) {
      have = source.readAt(size - back, reinterpret_cast<char*>(row.data()),
                           std::uint64_t{columns} * 3);
      if (have < 0) {
        why = "the pixel array cannot be read";
        return false;
      }
    }
    for (std::uint32_t column = 0; column < columns; ++column) {
      std::array<std::uint8_t, 3> colour = {kUnreadGrey, kUnreadGrey, kUnreadGrey};
      if (std::int64_t{column} * 3 + 3 <= have) {
        const std::uint8_t* pixel = row.data() + std::size_t{column} * 3;  // blue, green, red
        for (std::size_t c = 0; c < 3; ++c) colour[c] = (pixel[2 - c] & 1U) != 0 ? 255 : 24;
      }
      const bool marked = holdsRecord(column, down, height);
      // The outline runs inside the record's cells, along each edge that
      // borders a cell outside the record.
      const bool left = marked && (column == 0 || !holdsRecord(column - 1, down, height));
      const bool right = marked && !holdsRecord(column + 1, down, height);
      const bool top = marked && (down == 0 || !holdsRecord(column, down - 1, height));
      const bool bottom = marked && (down + 1 >= height || !holdsRecord(column, down + 1, height));
      for (std::uint32_t y = 0; y < cell; ++y) {
        for (std::uint32_t x = 0; x < cell; ++x) {
          const bool edge = (left && x == 0) || (right && x + 1 == cell) || (top && y == 0) ||
                            (bottom && y + 1 == cell);
          const std::size_t at =
              ((std::size_t{down} * cell + y) * picture.width + std::size_t{column} * cell + x) * 3;
          for (std::size_t c = 0; c < 3; ++c)
            picture.pixels[at + c] = edge ? kOutline[c] : colour[c];
        }
      }
    }
  }
  return true;
}

}  // namespace quillmark::report

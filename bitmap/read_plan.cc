#include "bitmap/read_plan.h"

#include <algorithm>

namespace quillmark {

ReadPlan ReadPlan::forWalk(std::uint32_t width, std::uint32_t height, std::uint64_t fileSize,
                           std::uint64_t pageSize) {
  ReadPlan plan;
  // Signed 64-bit arithmetic, as in the walk's seeks: a position before the
  // start of the file is negative, and no 32-bit width can overflow it.
  const auto size = static_cast<std::int64_t>(fileSize);
  const auto stride = static_cast<std::int64_t>((3 * static_cast<std::uint64_t>(width) + 3) &
                                                ~static_cast<std::uint64_t>(3));
  // Height 0 is walked like height 1; width 0 still walks its column 0.
  const std::uint64_t rows = std::max<std::uint32_t>(height, 1);
  const std::uint64_t pixels =
      std::min<std::uint64_t>(kMaxPixels, std::max<std::uint32_t>(width, 1) * rows);

  std::array<ByteRange, kMaxRanges> pages{};
  std::size_t count = 0;
  for (std::uint64_t p = 0; p < pixels; ++p) {
    const auto column = static_cast<std::int64_t>(p / rows);
    const auto rowFromLast = static_cast<std::int64_t>(p % rows);
    const std::int64_t at = size + 3 * column - (rowFromLast + 1) * stride;
    if (at < 0) break;  // the seek fails, and with it every later read
    const std::int64_t end = std::min(at + 3, size);
    if (end > at) {
      const std::uint64_t first = static_cast<std::uint64_t>(at) & ~(pageSize - 1);
      const std::uint64_t last = (static_cast<std::uint64_t>(end) + pageSize - 1) & ~(pageSize - 1);
      pages[count++] = ByteRange{first, std::min(last, fileSize) - first};
    }
    if (at + 3 > size) break;  // the read meets the end of the file and fails
  }

  std::sort(pages.begin(), pages.begin() + static_cast<std::ptrdiff_t>(count),
            [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
  for (std::size_t i = 0; i < count; ++i) {
    ByteRange& last = plan.ranges_[plan.count_ == 0 ? 0 : plan.count_ - 1];
    if (plan.count_ > 0 && pages[i].offset <= last.end()) {
      last.length = std::max(last.end(), pages[i].end()) - last.offset;
    } else {
      plan.ranges_[plan.count_++] = pages[i];
    }
  }
  return plan;
}

ReadPlan ReadPlan::bridgingGapsBelow(std::uint64_t gap) const {
  ReadPlan bridged;
  for (const ByteRange& range : *this) {
    ByteRange* const last = bridged.count_ == 0 ? nullptr : &bridged.ranges_[bridged.count_ - 1];
    if (last != nullptr && range.offset - last->end() < gap) {
      last->length = range.end() - last->offset;
    } else {
      bridged.ranges_[bridged.count_++] = range;
    }
  }
  return bridged;
}

bool ReadPlan::covers(std::uint64_t offset, std::uint64_t length) const {
  if (length == 0) return true;
  const ByteRange* const next = std::upper_bound(
      begin(), end(), offset, [](std::uint64_t at, const ByteRange& r) { return at < r.offset; });
  if (next == begin()) return false;
  const ByteRange& holder = *(next - 1);
  return offset + length <= holder.end();
}

std::uint64_t ReadPlan::totalBytes() const {
  std::uint64_t total = 0;
  for (const ByteRange& range : *this) total += range.length;
  return total;
}

}  // namespace quillmark

#ifndef QUILLMARK_BITMAP_READ_PLAN_H_
#define QUILLMARK_BITMAP_READ_PLAN_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillmark {

// A span of bytes of a file: [offset, offset + length).
struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;

  std::uint64_t end() const { return offset + length; }
};

// The parts of a file that PixelBitReader reads while the record's 140 bytes
// are pulled from it, worked out from the geometry alone: width and height as
// the header gives them and the size of the file. Each range is widened to
// whole pages, and ranges that share or adjoin a page are merged, so a small
// picture whose walk touches most of its pages is one range. Ranges are in
// ascending order and never overlap. Knowing them up front lets a caller ask
// the device for all of them at once instead of one pixel at a time.
//
// The plan assumes the stream is in good order when the walk begins. It
// follows the walk's own failure rules: a seek before the start of the file
// or a read that meets its end ends the walk's input, so nothing after it is
// planned. The walk reads at most one pixel per advance, so a plan never
// holds more than kMaxRanges ranges.
class ReadPlan {
 public:
  // Pixels the walk may read: the first, then one per advance over the
  // 140 x 8 hidden bits.
  static constexpr std::size_t kMaxPixels = 1 + (140 * 8 - 1) / 3;
  static constexpr std::size_t kMaxRanges = kMaxPixels;
  static constexpr std::uint64_t kDefaultPageSize = 4096;

  // The plan for a walk of a width x height picture over a file of
  // `fileSize` bytes, in pages of `pageSize` bytes (a power of two).
  static ReadPlan forWalk(std::uint32_t width, std::uint32_t height, std::uint64_t fileSize,
                          std::uint64_t pageSize = kDefaultPageSize);

  const ByteRange* begin() const { return ranges_.data(); }
  const ByteRange* end() const { return ranges_.data() + count_; }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  // The same plan with every two neighbouring ranges less than `gap` bytes
  // apart merged into one that reads through the gap: fewer, larger reads,
  // for devices where a request costs more than the bytes it carries.
  ReadPlan bridgingGapsBelow(std::uint64_t gap) const;

  // True when every byte of [offset, offset + length) lies in a range.
  bool covers(std::uint64_t offset, std::uint64_t length) const;
  // Bytes in all ranges together.
  std::uint64_t totalBytes() const;

 private:
  ReadPlan() = default;

  std::array<ByteRange, kMaxRanges> ranges_{};
  std::size_t count_ = 0;
};

}  // namespace quillmark

#endif  // QUILLMARK_BITMAP_READ_PLAN_H_

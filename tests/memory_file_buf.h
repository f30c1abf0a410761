#ifndef QUILLMARK_TESTS_MEMORY_FILE_BUF_H_
#define QUILLMARK_TESTS_MEMORY_FILE_BUF_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <streambuf>
#include <vector>

#include "bitmap/read_plan.h"

namespace quillmark::testing {

// A read-only file in memory, seen as the program sees a file on disk: a
// seek before the start fails, one past the end succeeds and the next read
// obtains nothing. Counts the reads and seeks it is asked for and logs the
// bytes each read obtained, so that tests can check where the analysis read.
class MemoryFileBuf final : public std::streambuf {
 public:
  MemoryFileBuf(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(static_cast<off_type>(size)) {}

  int reads = 0;
  int seeks = 0;
  std::vector<ByteRange> obtained;  // one entry per read, in order

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    ++seeks;
    const off_type base = dir == std::ios_base::beg   ? 0
                          : dir == std::ios_base::cur ? position_
                                                      : size_;
    if (offset < -base) return pos_type(off_type(-1));
    position_ = base + offset;
    return pos_type(position_);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode mode) override {
    return seekoff(off_type(position), std::ios_base::beg, mode);
  }
  std::streamsize xsgetn(char* out, std::streamsize count) override {
    ++reads;
    const std::streamsize got =
        position_ >= size_ ? 0 : std::min<std::streamsize>(count, size_ - position_);
    if (got > 0) std::memcpy(out, data_ + position_, static_cast<std::size_t>(got));
    obtained.push_back(
        ByteRange{static_cast<std::uint64_t>(position_), static_cast<std::uint64_t>(got)});
    position_ += got;
    return got;
  }
  int_type underflow() override {
    return position_ < size_ ? traits_type::to_int_type(static_cast<char>(data_[position_]))
                             : traits_type::eof();
  }
  int_type uflow() override {
    const int_type next = underflow();
    if (next != traits_type::eof()) ++position_;
    return next;
  }

 private:
  const std::uint8_t* data_;
  off_type size_;
  off_type position_ = 0;
};

}  // namespace quillmark::testing

#endif  // QUILLMARK_TESTS_MEMORY_FILE_BUF_H_

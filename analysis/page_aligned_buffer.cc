#include "analysis/page_aligned_buffer.h"

#include <unistd.h>

#include <cstdlib>

namespace quillmark {

namespace {

std::size_t pageSize() {
  static const std::size_t size = [] {
    const long said = ::sysconf(_SC_PAGESIZE);
    return said > 0 ? static_cast<std::size_t>(said) : std::size_t{4096};
  }();
  return size;
}

}  // namespace

PageAlignedBuffer::~PageAlignedBuffer() { std::free(data_); }

char* PageAlignedBuffer::reserve(std::size_t size) {
  if (size <= capacity_ && data_ != nullptr) return data_;
  std::free(data_);
  data_ = nullptr;
  capacity_ = 0;
  const std::size_t page = pageSize();
  const std::size_t rounded = size == 0 ? page : (size + page - 1) / page * page;
  if (rounded < size) return nullptr;  // the size overflowed
  void* memory = nullptr;
  if (::posix_memalign(&memory, page, rounded) != 0) return nullptr;
  data_ = static_cast<char*>(memory);
  capacity_ = rounded;
  return data_;
}

}  // namespace quillmark

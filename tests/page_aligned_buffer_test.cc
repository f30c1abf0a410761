// The read buffers start on a page, whatever size they grow to, and an
// impossible size fails without throwing.

#include "analysis/page_aligned_buffer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace quillmark {
namespace {

TEST(PageAlignedBufferTest, EverySizeStartsOnAPageAndAnImpossibleOneFails) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  PageAlignedBuffer buffer;
  for (const std::size_t size : {std::size_t{0}, std::size_t{4097}, std::size_t{3} << 20}) {
    char* const data = buffer.reserve(size);
    ASSERT_NE(data, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % page, 0U) << size;
    std::memset(data, 0xA5, size);  // the sanitizers check that it is all there
  }
  EXPECT_EQ(buffer.reserve(SIZE_MAX - 1), nullptr);
  EXPECT_EQ(buffer.capacity(), 0U);
}

}  // namespace
}  // namespace quillmark

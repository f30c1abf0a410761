#ifndef QUILLMARK_ANALYSIS_MEMORY_SOURCE_H_
#define QUILLMARK_ANALYSIS_MEMORY_SOURCE_H_

#include <algorithm>
#include <cstring>
#include <string_view>

#include "analysis/content_source.h"

namespace quillmark {

// Content held in memory, borrowed: the bytes must outlive the source.
class MemorySource final : public ContentSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}

  std::uint64_t size() const override { return bytes_.size(); }
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (offset >= bytes_.size()) return 0;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes_.size() - offset));
    std::memcpy(into, bytes_.data() + offset, count);
    return static_cast<std::int64_t>(count);
  }
  const char* held() const override { return bytes_.data(); }

 private:
  std::string_view bytes_;
};

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_MEMORY_SOURCE_H_

#ifndef QUILLMARK_ANALYSIS_CONTENT_WINDOW_H_
#define QUILLMARK_ANALYSIS_CONTENT_WINDOW_H_

#include <algorithm>
#include <cstdint>

#include "analysis/content_source.h"

namespace quillmark {

// A span of other content read as content of its own, by offset: a member
// that a container holds as it is, whole and uncompressed. Borrows the
// content it looks into, which must outlive it.
class ContentWindow final : public ContentSource {
 public:
  // The `length` bytes of `within` from `start` on; the caller has checked
  // that they lie inside it.
  ContentWindow(ContentSource& within, std::uint64_t start, std::uint64_t length)
      : within_(within), start_(start), length_(length) {}

  std::uint64_t size() const override { return length_; }

  // Reads as `within` does, never past the window's end: 0 at or past it.
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (offset >= length_) return 0;
    return within_.readAt(start_ + offset, into, std::min(length, length_ - offset));
  }

 private:
  ContentSource& within_;
  std::uint64_t start_;
  std::uint64_t length_;
};

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_CONTENT_WINDOW_H_

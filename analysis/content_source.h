#ifndef QUILLMARK_ANALYSIS_CONTENT_SOURCE_H_
#define QUILLMARK_ANALYSIS_CONTENT_SOURCE_H_

#include <cstdint>

#include "bitmap/read_plan.h"

namespace quillmark {

// The content of one file wherever its bytes live (a file on the host, a
// file inside a disk image, a window carved out of one), as ContentReader
// reads it: a size known before reading, and reads at any offset.
class ContentSource {
 public:
  virtual ~ContentSource() = default;

  // The content's size in bytes.
  virtual std::uint64_t size() const = 0;

  // Reads up to `length` bytes at `offset` into `into`: all of them, unless
  // the content ends first (it may have shrunk since size() was taken).
  // Returns the number of bytes read, or -1 when they cannot be read; the
  // concrete source tells why.
  virtual std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) = 0;

  // Tells the source that the ranges of `plan` are about to be read, so that
  // a device can serve them together. Only a hint: the default ignores it.
  virtual void willRead(const ReadPlan& plan) { (void)plan; }

  // The whole content, where the source holds it in memory already (it
  // stays there, unchanged, while the source lives), so that it need not
  // be copied to be read; else nullptr. The default holds nothing.
  virtual const char* held() const { return nullptr; }

 protected:
  ContentSource() = default;
  ContentSource(const ContentSource&) = default;
  ContentSource& operator=(const ContentSource&) = default;
};

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_CONTENT_SOURCE_H_

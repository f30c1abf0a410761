#ifndef QUILLMARK_ANALYSIS_CONTENT_READER_H_
#define QUILLMARK_ANALYSIS_CONTENT_READER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "analysis/analysis.h"
#include "analysis/content_source.h"
#include "analysis/page_aligned_buffer.h"
#include "bitmap/bitmap_header_view.h"

namespace quillmark {

// Reads what the analysis of one file's content needs, from any
// ContentSource, with as few reads as it can, and runs the shared analysis
// over those bytes in memory, so that every source comes to the verdict
// quillmark-detect gives for the same bytes. Content up to `wholeLimit`
// bytes, whose walk touches most of it, is read whole in one read; larger
// content has its header read, then the ranges its walk will read (gaps
// under kBridgedGap read through), announced to the source together and read
// one after the other.
//
// One reader serves one thread: it keeps its buffer from file to file, so
// that it allocates only while the buffer grows.
//
// Given a ContentSink, the reader also hands it every byte of the content,
// in order, reading the whole content once: a large file is then read
// through in large reads, the walk's ranges kept from them as they pass, so
// that a digest of the whole file costs no second read.
class ContentSink {
 public:
  virtual ~ContentSink() = default;
  // The next `length` bytes of the content.
  virtual void consume(const char* bytes, std::size_t length) = 0;

 protected:
  ContentSink() = default;
  ContentSink(const ContentSink&) = default;
  ContentSink& operator=(const ContentSink&) = default;
};

class ContentReader {
 public:
  static constexpr std::uint64_t kDefaultWholeLimit = 256 * 1024;
  // Planned ranges closer than this are read as one: a request costs more
  // than the bytes it would skip, on a disk (a seek) as in a virtual machine.
  static constexpr std::uint64_t kBridgedGap = 32 * 1024;
  // The reads in which content is read through whole.
  static constexpr std::size_t kStreamRead = 1024 * 1024;

  // What became of the content.
  struct Result {
    enum class Outcome {
      kAnalysed,       // `analysis` holds what the analysis found
      kNotBmp,         // `bmpOnly`, and the content does not begin with "BM"
      kUnreadable,     // a read failed: the source tells why
      kShrank,         // the content ended before a planned range
      kNotAnalysable,  // the bytes read cannot be walked at all
    };
    Outcome outcome = Outcome::kUnreadable;
    std::optional<Analysis> analysis;
    std::uint64_t bytesRead = 0;  // bytes read from the source
    // Every byte of the content went to the sink, in order: the content
    // ended neither early nor late.
    bool wholeToSink = false;
  };

  explicit ContentReader(std::uint64_t wholeLimit = kDefaultWholeLimit) : wholeLimit_(wholeLimit) {}

  // Reads and analyses `source`. With `bmpOnly`, content that does not
  // begin with "BM" is left unanalysed after its first bytes. With
  // `everyByte`, the whole content is read, once, and handed to it.
  Result analyse(ContentSource& source, bool bmpOnly, ContentSink* everyByte = nullptr);

  // Hands `sink` every byte of `source`, read through in large reads, for
  // content analysed without a sink; `bytesRead` counts what was read.
  enum class Through { kWhole, kUnreadable, kShort };
  Through readThrough(ContentSource& source, ContentSink& sink, std::uint64_t& bytesRead);

  // After analyse: the whole content when it was read in one piece (small
  // content), else empty. Points into the reader's buffer, valid until the
  // next analyse, or into the bytes the source held, valid while they are.
  std::string_view wholeContent() const { return wholeContent_; }

 private:
  Result analyseLoaded(std::streambuf& content, Result result) const;
  Result analyseStreaming(ContentSource& source, bool bmpOnly, ContentSink& sink);
  // The buffer, grown to at least `size` bytes; never cleared, since bytes
  // are read over it.
  char* reserve(std::size_t size);

  // The stream's read buffer, kStreamRead bytes once content is read through.
  char* streamBuffer();

  std::uint64_t wholeLimit_;
  PageAlignedBuffer buffer_;
  std::string_view wholeContent_;
  PageAlignedBuffer stream_;
  char header_[BitmapHeaderView::kSize] = {};  // the header, where the plan does not hold it
};

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_CONTENT_READER_H_

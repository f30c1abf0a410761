#ifndef QUILLMARK_ANALYSIS_CONTENT_READER_H_
#define QUILLMARK_ANALYSIS_CONTENT_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "analysis/analysis.h"
#include "analysis/content_source.h"

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
class ContentReader {
 public:
  static constexpr std::uint64_t kDefaultWholeLimit = 256 * 1024;
  // Planned ranges closer than this are read as one: a request costs more
  // than the bytes it would skip, on a disk (a seek) as in a virtual machine.
  static constexpr std::uint64_t kBridgedGap = 32 * 1024;

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
  };

  explicit ContentReader(std::uint64_t wholeLimit = kDefaultWholeLimit) : wholeLimit_(wholeLimit) {}

  // Reads and analyses `source`. With `bmpOnly`, content that does not
  // begin with "BM" is left unanalysed after its first bytes.
  Result analyse(ContentSource& source, bool bmpOnly);

  // After analyse: the whole content when it was read in one piece (small
  // content), else empty. Points into the reader's buffer, valid until the
  // next analyse.
  std::string_view wholeContent() const { return wholeContent_; }

 private:
  Result analyseLoaded(std::streambuf& content, Result result) const;
  // The buffer, grown to at least `size` bytes; never cleared, since bytes
  // are read over it.
  char* reserve(std::size_t size);

  std::uint64_t wholeLimit_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::string_view wholeContent_;
};

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_CONTENT_READER_H_

#ifndef QUILLMARK_CONTAINER_GZIP_STREAM_H_
#define QUILLMARK_CONTAINER_GZIP_STREAM_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analysis/content_source.h"

namespace quillmark::container {

// The content of a gzip file, inflated through zlib as it is read, in
// order: what libarchive is handed in place of the compressed bytes, so
// that each gzip member's CRC-32 and length are checked against its
// trailer. libarchive's own gzip reader passes over the trailer unchecked,
// so a stream damaged in a way that still inflates would be read as sound.
//
// Members one after another (as `cat a.gz b.gz` makes) are one content, as
// gzip and libarchive read them; bytes after the last member that do not
// begin another are ignored, as they do. Holds zlib's state and one block
// of compressed bytes, whatever the content's size.
class GzipStream final : public ContentSource {
 public:
  static constexpr unsigned kNameLimit = 256 * 1024;

  // Reads `compressed` (which must outlive this) from its start, in order.
  explicit GzipStream(ContentSource& compressed);
  ~GzipStream() override;
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  // Not known before the content has been read: the largest size.
  std::uint64_t size() const override;

  // Only the next bytes in order can be read (`offset` is where the last
  // read ended): up to `length` of them, fewer only at the content's end;
  // -1 for any other offset. A fault (a damaged or cut stream, a trailer
  // that does not match, a read of the compressed bytes that fails) ends
  // the content where it is met: the read that meets it returns the bytes
  // inflated before it, later ones 0, and error() says why. So a reader of
  // the content (libarchive telling its format) sees what could be
  // inflated, and the caller tells the fault.
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override;

  // Reads on to the content's end, up to `limit` more bytes, so that the
  // last trailer is checked where the reader of the content stopped before
  // it (a tar ends with its end marker, before the padding after it). True
  // when the whole content was read and every trailer matched; false on a
  // fault (error() says why) or when more than `limit` bytes remained, and
  // so the last trailer could not be checked (error() is then empty).
  bool finish(std::uint64_t limit);

  // The name the first member's header gives the file it holds, once that
  // header has been read, as gzip -N restores it (up to kNameLimit bytes);
  // nothing when it gives none, or before. Valid while this lives.
  std::optional<std::string_view> name() const;

  // Why the content cannot be read further, as zlib says it after
  // "gzip: "; empty while it can.
  const std::string& error() const { return error_; }

 private:
  struct Inflater;

  bool fail(const std::string& why);
  // Gives zlib the next compressed bytes; false at their end or on a fault.
  bool refill();

  ContentSource& compressed_;
  std::unique_ptr<Inflater> inflater_;
  std::uint64_t position_ = 0;  // inflated bytes read so far
  std::string error_;
};

// True when this build checks gzip trailers itself (it was built with zlib).
bool gzipStreamsSupported();

}  // namespace quillmark::container

#endif  // QUILLMARK_CONTAINER_GZIP_STREAM_H_

#ifndef QUILLMARK_CONTAINER_INFLATED_MEMBER_H_
#define QUILLMARK_CONTAINER_INFLATED_MEMBER_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/content_source.h"

namespace quillmark::container {

// A member compressed with deflate (as a zip holds it), read at any offset
// as a file is, through zlib: for a library that must read by offset, such
// as libpff in a zipped mailbox. The stream is inflated once through, to
// lay down points it can be inflated again from (where a deflate block
// begins in the compressed bytes, and the 32 KiB the inflater looks back
// on there); a read then inflates from the nearest point before it, or
// goes on from where the last read stopped. Memory stays bounded whatever
// the member's size: at most kMaxPoints points and kCachedSpans spans of
// inflated bytes. Nothing is checked but deflate itself and the size: a
// zip's CRC is not at hand here, and is the caller's to have checked.
//
// It serves a gzip stream too (as a tar.gz holds its tar), whose first
// `size` bytes are then read: zlib reads the gzip header, and the stream
// may go on past them.
class InflatedMember final : public ContentSource {
 public:
  static constexpr std::size_t kMaxPoints = 512;
  static constexpr std::uint64_t kSpan = std::uint64_t{256} << 10;
  static constexpr std::size_t kCachedSpans = 8;

  enum class Stream {
    kDeflate,     // a raw deflate stream of exactly `size` bytes
    kGzipPrefix,  // a gzip stream, of which the first `size` bytes are read
  };

  // The stream at `start` in `compressed` (which must outlive this),
  // inflating to `size` bytes.
  InflatedMember(ContentSource& compressed, std::uint64_t start, std::uint64_t size,
                 Stream stream = Stream::kDeflate);
  ~InflatedMember() override;
  InflatedMember(const InflatedMember&) = delete;
  InflatedMember& operator=(const InflatedMember&) = delete;

  // True when the stream inflates first to `head`: a check that it is the
  // member's, before it is run through.
  bool begins(std::string_view head);

  // Inflates the stream once through (a gzip stream's up to `size` bytes)
  // and lays down its points. False when it cannot be read, is not
  // deflate, or does not inflate to exactly `size` bytes (a gzip stream:
  // at least); error() then says why. Reads fail until it succeeded.
  bool index();
  const std::string& error() const { return error_; }

  std::uint64_t size() const override { return size_; }
  // -1 once the stream cannot be read or inflated again (error() says
  // why); 0 at or past the end.
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override;

 private:
  static constexpr std::size_t kWindow = 32768;
  struct Point {
    std::uint64_t in = 0;                     // the compressed byte the block begins in
    std::uint64_t out = 0;                    // the inflated bytes before it
    int bits = 0;                             // of byte in - 1 that begin the block, or 0
    std::unique_ptr<unsigned char[]> window;  // the 32 KiB before `out`
  };
  struct Span {
    std::uint64_t number = ~std::uint64_t{0};
    std::uint64_t used = 0;  // for the least recently used
    std::unique_ptr<char[]> bytes;
  };
  struct Inflater;

  // The span `number` of the inflated bytes; nullptr on a failure.
  const char* span(std::uint64_t number);
  // Sets the inflater at `point`. False on a failure.
  bool startAt(const Point& point);
  // Inflates the next `length` bytes into `into` (or passes over them,
  // without it). False on a failure, or before they were all had.
  bool inflateNext(char* into, std::uint64_t length);
  // Gives the inflater the next compressed bytes. False at their end or on
  // a failure.
  bool refill();
  bool fail(const char* why);

  ContentSource& compressed_;
  std::uint64_t start_;
  std::uint64_t size_;
  Stream stream_;
  std::unique_ptr<Inflater> inflater_;
  std::vector<Point> points_;
  std::array<Span, kCachedSpans> spans_;
  std::uint64_t clock_ = 0;
  bool indexed_ = false;
  std::string error_;
};

// True when this build can read a deflated member by offset (it was built
// with zlib).
bool inflatedMembersSupported();

}  // namespace quillmark::container

#endif  // QUILLMARK_CONTAINER_INFLATED_MEMBER_H_

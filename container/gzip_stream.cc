#include "container/gzip_stream.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

namespace quillmark::container {

// zlib's inflater over the compressed bytes, where it stands in them.
struct GzipStream::Inflater {
  ~Inflater() {
    if (open) (void)inflateEnd(&stream);
  }

  z_stream stream{};
  gz_header header{};    // the first member's, its name in `name`
  bool open = false;     // inflateInit2 was called
  bool ended = false;    // the last member ended, its trailer matched
  std::uint64_t in = 0;  // compressed bytes handed to zlib so far
  unsigned char input[64 * 1024];
  unsigned char passed[32 * 1024];  // inflated bytes finish() passes over
  unsigned char name[kNameLimit];
};

GzipStream::GzipStream(ContentSource& compressed)
    : compressed_(compressed), inflater_(new Inflater) {}

GzipStream::~GzipStream() = default;

std::uint64_t GzipStream::size() const { return std::numeric_limits<std::uint64_t>::max(); }

bool GzipStream::fail(const std::string& why) {
  if (error_.empty()) error_ = "gzip: " + why;
  return false;
}

bool GzipStream::refill() {
  Inflater& z = *inflater_;
  // What zlib left unread is kept, at the front: the start of the next
  // member's header, looked at before zlib reads it.
  if (z.stream.avail_in != 0) std::memmove(z.input, z.stream.next_in, z.stream.avail_in);
  const std::size_t kept = z.stream.avail_in;
  const std::int64_t got =
      compressed_.readAt(z.in, reinterpret_cast<char*>(z.input) + kept, sizeof z.input - kept);
  if (got < 0) return fail("the container's bytes cannot be read");
  z.stream.next_in = z.input;
  z.stream.avail_in = static_cast<uInt>(kept + static_cast<std::size_t>(got));
  z.in += static_cast<std::uint64_t>(got);
  return got > 0;
}

std::int64_t GzipStream::readAt(std::uint64_t offset, char* into, std::uint64_t length) {
  Inflater& z = *inflater_;
  if (offset != position_) return -1;
  if (!error_.empty()) return 0;
  if (!z.open) {
    // Window bits 16 + 15: a gzip header, then deflate, then a trailer
    // whose CRC-32 and length zlib checks.
    if (inflateInit2(&z.stream, 31) != Z_OK) {
      fail("out of memory");
      return 0;
    }
    z.open = true;
    z.header.name = z.name;
    z.header.name_max = kNameLimit;
    (void)inflateGetHeader(&z.stream, &z.header);
  }
  std::uint64_t done = 0;
  while (done < length && !z.ended) {
    if (z.stream.avail_in == 0 && !refill()) {
      if (error_.empty()) fail("truncated gzip input");
      break;
    }
    const auto room = static_cast<uInt>(
        std::min<std::uint64_t>(length - done, into != nullptr ? UINT_MAX : sizeof z.passed));
    z.stream.next_out = into != nullptr ? reinterpret_cast<Bytef*>(into + done) : z.passed;
    z.stream.avail_out = room;
    const int status = inflate(&z.stream, Z_NO_FLUSH);
    done += room - z.stream.avail_out;
    if (status == Z_STREAM_END) {
      // The member's trailer matched. Another member follows when its
      // magic bytes do; any other bytes after it are not the content's.
      if (z.stream.avail_in < 2 && !refill() && !error_.empty()) break;
      if (z.stream.avail_in >= 2 && z.stream.next_in[0] == 0x1f && z.stream.next_in[1] == 0x8b) {
        (void)inflateReset(&z.stream);
      } else {
        z.ended = true;
      }
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      fail(z.stream.msg != nullptr ? z.stream.msg : "the stream cannot be inflated");
      break;
    }
  }
  position_ += done;
  return static_cast<std::int64_t>(done);
}

std::optional<std::string_view> GzipStream::name() const {
  // zlib fills the header of the first member only (a reset forgets it),
  // and stops a name at the limit, without the closing zero.
  const Inflater& z = *inflater_;
  if (z.header.done != 1 || z.header.name == Z_NULL) return std::nullopt;
  const auto* const bytes = reinterpret_cast<const char*>(z.name);
  return std::string_view(bytes, strnlen(bytes, kNameLimit));
}

bool GzipStream::finish(std::uint64_t limit) {
  Inflater& z = *inflater_;
  std::uint64_t left = limit;
  while (error_.empty() && !z.ended) {
    if (left == 0) return false;
    const std::int64_t got = readAt(position_, nullptr, left);
    if (got <= 0) break;
    left -= static_cast<std::uint64_t>(got);
  }
  return error_.empty() && z.ended;
}

bool gzipStreamsSupported() { return true; }

}  // namespace quillmark::container

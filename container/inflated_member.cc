#include "container/inflated_member.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace quillmark::container {

namespace {

// Points lie at least this far apart in the inflated bytes, and farther in
// a member of over kMaxPoints times this.
constexpr std::uint64_t kLeastSpacing = std::uint64_t{1} << 20;

}  // namespace

// zlib's inflater, where it stands in the compressed and inflated bytes.
struct InflatedMember::Inflater {
  ~Inflater() {
    if (open) (void)inflateEnd(&stream);
  }

  z_stream stream{};
  bool open = false;        // inflateInit2 was called
  bool positioned = false;  // `out` tells where the next inflated byte lies
  bool ended = false;       // the deflate stream ended
  std::uint64_t in = 0;     // compressed bytes handed to zlib so far
  std::uint64_t out = 0;    // inflated bytes before the next
  unsigned char input[64 * 1024];
  unsigned char passed[kWindow];  // inflated bytes passed over
};

InflatedMember::InflatedMember(ContentSource& compressed, std::uint64_t start, std::uint64_t size,
                               Stream stream)
    : compressed_(compressed),
      start_(start),
      size_(size),
      stream_(stream),
      inflater_(new Inflater) {}

InflatedMember::~InflatedMember() = default;

bool InflatedMember::fail(const char* why) {
  if (error_.empty()) error_ = why;
  if (inflater_) inflater_->positioned = false;
  return false;
}

bool InflatedMember::refill() {
  Inflater& z = *inflater_;
  const std::uint64_t at = start_ + z.in;
  if (at >= compressed_.size()) return fail("the compressed stream is cut off");
  const std::uint64_t wanted = std::min<std::uint64_t>(sizeof z.input, compressed_.size() - at);
  const std::int64_t got = compressed_.readAt(at, reinterpret_cast<char*>(z.input), wanted);
  if (got < 0) return fail("the container's bytes cannot be read");
  if (got == 0) return fail("the compressed stream is cut off");
  z.stream.next_in = z.input;
  z.stream.avail_in = static_cast<uInt>(got);
  z.in += static_cast<std::uint64_t>(got);
  return true;
}

bool InflatedMember::startAt(const Point& point) {
  Inflater& z = *inflater_;
  // From the start of a gzip stream zlib reads its header (window bits
  // 16 + 15); from a block, the raw deflate that follows (-15).
  const int bits = stream_ == Stream::kGzipPrefix && point.out == 0 ? 31 : -15;
  if (!z.open) {
    if (inflateInit2(&z.stream, bits) != Z_OK) return fail("out of memory");
    z.open = true;
  } else if (inflateReset2(&z.stream, bits) != Z_OK) {
    return fail("the inflater cannot be reset");
  }
  z.stream.avail_in = 0;
  z.ended = false;
  z.out = point.out;
  // A block that begins inside a byte takes that byte's last bits first.
  z.in = point.in - (point.bits != 0 ? 1 : 0);
  if (point.bits != 0) {
    if (!refill()) return false;
    const int byte = *z.stream.next_in;
    ++z.stream.next_in;
    --z.stream.avail_in;
    if (inflatePrime(&z.stream, point.bits, byte >> (8 - point.bits)) != Z_OK) {
      return fail("the inflater cannot be set at a block");
    }
  }
  if (point.window &&
      inflateSetDictionary(&z.stream, point.window.get(), static_cast<uInt>(kWindow)) != Z_OK) {
    return fail("the inflater cannot be set at a block");
  }
  z.positioned = true;
  return true;
}

bool InflatedMember::inflateNext(char* into, std::uint64_t length) {
  Inflater& z = *inflater_;
  while (length > 0) {
    if (z.ended) return fail("the member inflates to fewer bytes than it states");
    const auto chunk = static_cast<uInt>(
        std::min<std::uint64_t>(length, into != nullptr ? UINT_MAX : sizeof z.passed));
    z.stream.next_out = into != nullptr ? reinterpret_cast<Bytef*>(into) : z.passed;
    z.stream.avail_out = chunk;
    const int status = inflate(&z.stream, Z_NO_FLUSH);
    const uInt produced = chunk - z.stream.avail_out;
    z.out += produced;
    length -= produced;
    if (into != nullptr) into += produced;
    if (status == Z_STREAM_END) {
      z.ended = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      return fail("the member is not a deflate stream");
    } else if (z.stream.avail_out != 0) {
      // Stopped for want of compressed bytes.
      if (z.stream.avail_in != 0) return fail("the member is not a deflate stream");
      if (!refill()) return false;
    }
  }
  return true;
}

bool InflatedMember::begins(std::string_view head) {
  char first[512];
  if (head.size() > sizeof first || head.size() > size_) return false;
  Point start;
  return startAt(start) && inflateNext(first, head.size()) &&
         std::memcmp(first, head.data(), head.size()) == 0;
}

bool InflatedMember::index() {
  error_.clear();
  points_.clear();
  points_.emplace_back();  // the start, with nothing to look back on
  if (!startAt(points_.front())) return false;
  const std::uint64_t spacing = std::max(kLeastSpacing, size_ / kMaxPoints + 1);
  std::unique_ptr<unsigned char[]> window(new (std::nothrow) unsigned char[kWindow]);
  if (!window) return fail("out of memory");
  Inflater& z = *inflater_;
  z.stream.next_out = window.get();
  z.stream.avail_out = static_cast<uInt>(kWindow);
  std::uint64_t last = 0;
  for (;;) {
    if (z.stream.avail_out == 0) {
      z.stream.next_out = window.get();
      z.stream.avail_out = static_cast<uInt>(kWindow);
    }
    const uInt room = z.stream.avail_out;
    // Z_BLOCK returns at the end of each block, where a point may lie.
    const int status = inflate(&z.stream, Z_BLOCK);
    z.out += room - z.stream.avail_out;
    // Of a gzip stream, only the first `size_` bytes are wanted.
    if (stream_ == Stream::kGzipPrefix && z.out >= size_) break;
    if (z.out > size_) return fail("the member inflates to more bytes than it states");
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && status != Z_BUF_ERROR) return fail("the member is not a deflate stream");
    const bool blockEnd = (z.stream.data_type & 128) != 0 && (z.stream.data_type & 64) == 0;
    if (blockEnd && z.out - last > spacing && points_.size() <= kMaxPoints) {
      Point point;
      point.in = z.in - z.stream.avail_in;
      point.out = z.out;
      point.bits = z.stream.data_type & 7;
      point.window.reset(new (std::nothrow) unsigned char[kWindow]);
      if (!point.window) return fail("out of memory");
      // The window is a ring: its oldest byte is where the next goes.
      const std::size_t left = z.stream.avail_out;
      std::memcpy(point.window.get(), window.get() + kWindow - left, left);
      std::memcpy(point.window.get() + left, window.get(), kWindow - left);
      points_.push_back(std::move(point));
      last = z.out;
    }
    if (z.stream.avail_in == 0) {
      if (z.stream.avail_out != 0 && !refill()) return false;
    } else if (status == Z_BUF_ERROR && z.stream.avail_out != 0) {
      return fail("the member is not a deflate stream");  // no way on
    }
  }
  if (z.out < size_) return fail("the member inflates to fewer bytes than it states");
  z.positioned = false;  // reads start again from a point
  indexed_ = true;
  return true;
}

const char* InflatedMember::span(std::uint64_t number) {
  Span* victim = &spans_.front();
  for (Span& cached : spans_) {
    if (cached.number == number) {
      cached.used = ++clock_;
      return cached.bytes.get();
    }
    if (cached.used < victim->used) victim = &cached;
  }
  if (!victim->bytes) victim->bytes.reset(new (std::nothrow) char[kSpan]);
  if (!victim->bytes) {
    (void)fail("out of memory");
    return nullptr;
  }
  victim->number = ~std::uint64_t{0};
  const std::uint64_t from = number * kSpan;
  // The last point at or before the span; the inflater goes on from where
  // it stands instead when that lies between the point and the span.
  const auto after = std::upper_bound(points_.begin(), points_.end(), from,
                                      [](std::uint64_t at, const Point& p) { return at < p.out; });
  const Point& point = *(after - 1);
  const Inflater& z = *inflater_;
  if ((!z.positioned || z.out > from || z.out < point.out) && !startAt(point)) return nullptr;
  if (!inflateNext(nullptr, from - inflater_->out) ||
      !inflateNext(victim->bytes.get(), std::min(kSpan, size_ - from))) {
    return nullptr;
  }
  victim->number = number;
  victim->used = ++clock_;
  return victim->bytes.get();
}

std::int64_t InflatedMember::readAt(std::uint64_t offset, char* into, std::uint64_t length) {
  if (!indexed_ || !error_.empty()) return -1;
  if (offset >= size_) return 0;
  length = std::min(length, size_ - offset);
  std::uint64_t done = 0;
  while (done < length) {
    const std::uint64_t at = offset + done;
    const char* const bytes = span(at / kSpan);
    if (bytes == nullptr) return -1;
    const std::uint64_t within = at % kSpan;
    const std::uint64_t count = std::min({length - done, kSpan - within, size_ - at});
    std::memcpy(into + done, bytes + within, static_cast<std::size_t>(count));
    done += count;
  }
  return static_cast<std::int64_t>(done);
}

bool inflatedMembersSupported() { return true; }

}  // namespace quillmark::container

#include "analysis/loaded_bytes_buf.h"

#include <algorithm>
#include <cstring>

namespace quillmark {

bool LoadedBytesBuf::addSegment(std::uint64_t offset, const char* bytes, std::size_t length) {
  if (count_ == segments_.size()) return false;
  segments_[count_++] =
      Segment{static_cast<off_type>(offset), bytes, static_cast<off_type>(length)};
  return true;
}

LoadedBytesBuf::pos_type LoadedBytesBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                                 std::ios_base::openmode) {
  const off_type base = dir == std::ios_base::beg   ? 0
                        : dir == std::ios_base::cur ? position_
                                                    : size_;
  if (offset < -base) return pos_type(off_type(-1));
  position_ = base + offset;
  return pos_type(position_);
}

LoadedBytesBuf::pos_type LoadedBytesBuf::seekpos(pos_type position, std::ios_base::openmode mode) {
  return seekoff(off_type(position), std::ios_base::beg, mode);
}

const LoadedBytesBuf::Segment* LoadedBytesBuf::segmentAt(off_type at) const {
  const Segment* const end = segments_.data() + count_;
  const Segment* const next = std::upper_bound(
      segments_.data(), end, at, [](off_type where, const Segment& s) { return where < s.offset; });
  if (next == segments_.data()) return nullptr;
  const Segment* const holder = next - 1;
  return at < holder->offset + holder->length ? holder : nullptr;
}

std::streamsize LoadedBytesBuf::xsgetn(char* out, std::streamsize count) {
  // The walk reads 3 bytes at a time, nearly always from the segment of the
  // read before: that case is a short copy.
  const Segment* const last = last_;
  if (last != nullptr && count <= 8 && position_ >= last->offset &&
      position_ + count <= std::min(last->offset + last->length, size_)) {
    const char* const from = last->bytes + (position_ - last->offset);
    for (std::streamsize i = 0; i < count; ++i) out[i] = from[i];
    position_ += count;
    return count;
  }
  std::streamsize got = 0;
  while (got < count && position_ < size_) {
    const Segment* const segment = segmentAt(position_);
    if (segment == nullptr) break;
    last_ = segment;
    const off_type available = std::min(segment->offset + segment->length, size_) - position_;
    const auto take = static_cast<std::streamsize>(std::min<off_type>(available, count - got));
    std::memcpy(out + got, segment->bytes + (position_ - segment->offset),
                static_cast<std::size_t>(take));
    got += take;
    position_ += take;
  }
  return got;
}

LoadedBytesBuf::int_type LoadedBytesBuf::underflow() {
  if (position_ >= size_) return traits_type::eof();
  const Segment* const segment = segmentAt(position_);
  if (segment == nullptr) return traits_type::eof();
  return traits_type::to_int_type(segment->bytes[position_ - segment->offset]);
}

LoadedBytesBuf::int_type LoadedBytesBuf::uflow() {
  const int_type next = underflow();
  if (next != traits_type::eof()) ++position_;
  return next;
}

}  // namespace quillmark

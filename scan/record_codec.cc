#include "scan/record_codec.h"

#include <cstring>

namespace quillmark::scan {

namespace {

constexpr std::size_t kHeaderSize = 5;  // kind, 32-bit length
// No record comes near this: a length past it means the stream is damaged.
constexpr std::uint32_t kMaxPayload = 64 * 1024 * 1024;

void put64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void putString(std::string& out, std::string_view text) {
  put64(out, text.size());
  out.append(text);
}

void putOptional(std::string& out, const std::optional<std::uint64_t>& value) {
  out += static_cast<char>(value ? 1 : 0);
  put64(out, value.value_or(0));
}

// Reads the fields of a payload in order; any read past its end fails, and
// every later read with it.
class PayloadReader {
 public:
  explicit PayloadReader(std::string_view payload) : rest_(payload) {}

  bool ok() const { return ok_; }
  bool done() const { return ok_ && rest_.empty(); }

  std::uint64_t u64() {
    std::uint64_t value = 0;
    if (!take(8)) return 0;
    for (std::size_t i = 0; i < 8; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(taken_[i])) << (8 * i);
    }
    return value;
  }
  std::uint8_t u8() { return take(1) ? static_cast<std::uint8_t>(taken_[0]) : 0; }
  void string(std::string& out) {
    const std::uint64_t length = u64();
    if (!ok_ || length > rest_.size()) {
      ok_ = false;
      return;
    }
    take(static_cast<std::size_t>(length));
    out.assign(taken_.data(), taken_.size());
  }
  void optional(std::optional<std::uint64_t>& out) {
    const bool present = u8() != 0;
    const std::uint64_t value = u64();
    if (present) {
      out = value;
    } else {
      out.reset();
    }
  }

 private:
  bool take(std::size_t count) {
    if (!ok_ || count > rest_.size()) {
      ok_ = false;
      return false;
    }
    taken_ = rest_.substr(0, count);
    rest_.remove_prefix(count);
    return true;
  }

  std::string_view rest_;
  std::string_view taken_;
  bool ok_ = true;
};

// How many counts a frame of `kind` carries.
std::size_t countsIn(FrameKind kind) {
  return kind == FrameKind::kTally ? 4 : kind == FrameKind::kTotal ? 1 : 0;
}

// Appends a frame of `kind` whose payload `write` appends.
template <typename Write>
void appendFrame(FrameKind kind, std::string& out, Write&& write) {
  out += static_cast<char>(kind);
  const std::size_t lengthAt = out.size();
  out.append(4, '\0');
  write();
  const auto length = static_cast<std::uint32_t>(out.size() - lengthAt - 4);
  for (int i = 0; i < 4; ++i)
    out[lengthAt + static_cast<std::size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

}  // namespace

void appendRecordFrame(const report::ScanRecord& record, std::string& out) {
  appendFrame(FrameKind::kRecord, out, [&] {
    putString(out, record.path);
    out += static_cast<char>(record.verdict);
    out += static_cast<char>((record.notBmp ? 1 : 0) | (record.wrongDepth ? 2 : 0) |
                             (record.deleted ? 4 : 0));
    putString(out, record.name);
    std::uint64_t length = 0;
    static_assert(sizeof length == sizeof record.length, "double must be 64 bits");
    std::memcpy(&length, &record.length, sizeof length);
    put64(out, length);
    putString(out, record.lengthText);
    putString(out, record.reason);
    out += static_cast<char>(record.skip);
    put64(out, record.bytesRead);
    out += static_cast<char>(record.image ? 1 : 0);
    putString(out, record.image.value_or(std::string()));
    putOptional(out, record.fsOffset);
    putString(out, record.fsType);
    putOptional(out, record.volume);
    putOptional(out, record.inode);
    putOptional(out, record.carvedAt);
    putOptional(out, record.carvedLength);
    put64(out, record.byteRuns.size());
    for (const disk_image::ByteRun& run : record.byteRuns) {
      put64(out, run.fileOffset);
      put64(out, run.imageOffset);
      put64(out, run.length);
    }
    putOptional(out, record.fileSize);
    for (const std::string& digest : record.hashes) putString(out, digest);
    for (const std::optional<disk_image::Timestamp>* time :
         {&record.times.modified, &record.times.accessed, &record.times.changed,
          &record.times.created}) {
      out += static_cast<char>(*time ? 1 : 0);
      put64(out, *time ? static_cast<std::uint64_t>((*time)->seconds) : 0);
      put64(out, *time ? (*time)->nanoseconds : 0);
    }
    out += static_cast<char>((record.nameUnallocated ? 1 : 0) | (record.metaUnallocated ? 2 : 0));
    put64(out, record.partition);
    putString(out, record.pictures.thumbnail);
    putString(out, record.pictures.thumbnailWhy);
    putString(out, record.pictures.lowBits);
    putString(out, record.pictures.lowBitsWhy);
    put64(out, record.within.size());
    for (const report::ContainerHop& hop : record.within) {
      putString(out, hop.format);
      putString(out, hop.member);
      put64(out, hop.index);
      putString(out, hop.locator);
    }
    putString(out, record.containerFormat);
    putString(out, record.imageFile);
  });
}

void appendCountFrame(FrameKind kind, const std::array<std::uint64_t, 4>& counts,
                      std::string& out) {
  appendFrame(kind, out, [&] {
    for (std::size_t i = 0; i < countsIn(kind); ++i) put64(out, counts[i]);
  });
}

FrameReader::Next FrameReader::next() {
  // What was taken is dropped once it is most of the buffer.
  if (taken_ > 0 && taken_ >= buffer_.size() / 2) {
    buffer_.erase(0, taken_);
    taken_ = 0;
  }
  if (buffer_.size() - taken_ < kHeaderSize) return Next::kIncomplete;
  const auto* const header = reinterpret_cast<const unsigned char*>(buffer_.data() + taken_);
  const std::uint32_t length =
      static_cast<std::uint32_t>(header[1]) | static_cast<std::uint32_t>(header[2]) << 8 |
      static_cast<std::uint32_t>(header[3]) << 16 | static_cast<std::uint32_t>(header[4]) << 24;
  if (header[0] < static_cast<unsigned char>(FrameKind::kRecord) ||
      header[0] > static_cast<unsigned char>(FrameKind::kDone) || length > kMaxPayload) {
    return Next::kCorrupt;
  }
  if (buffer_.size() - taken_ - kHeaderSize < length) return Next::kIncomplete;
  kind_ = static_cast<FrameKind>(header[0]);
  payload_ = std::string_view(buffer_).substr(taken_ + kHeaderSize, length);
  taken_ += kHeaderSize + length;
  counts_ = {};
  if (kind_ == FrameKind::kRecord) return Next::kFrame;
  PayloadReader counts(payload_);
  for (std::size_t i = 0; i < countsIn(kind_); ++i) counts_[i] = counts.u64();
  return counts.done() ? Next::kFrame : Next::kCorrupt;
}

bool FrameReader::record(report::ScanRecord& record) const {
  record.clear();
  PayloadReader in(payload_);
  in.string(record.path);
  const std::uint8_t verdict = in.u8();
  const std::uint8_t flags = in.u8();
  in.string(record.name);
  const std::uint64_t length = in.u64();
  std::memcpy(&record.length, &length, sizeof length);
  in.string(record.lengthText);
  in.string(record.reason);
  const std::uint8_t skip = in.u8();
  record.bytesRead = in.u64();
  const bool hasImage = in.u8() != 0;
  std::string image;
  in.string(image);
  in.optional(record.fsOffset);
  in.string(record.fsType);
  in.optional(record.volume);
  in.optional(record.inode);
  in.optional(record.carvedAt);
  in.optional(record.carvedLength);
  const std::uint64_t runs = in.u64();
  // Each run takes 24 bytes: more than the payload holds is damage.
  if (!in.ok() || runs > payload_.size() / 24) return false;
  record.byteRuns.resize(static_cast<std::size_t>(runs));
  for (disk_image::ByteRun& run : record.byteRuns) {
    run.fileOffset = in.u64();
    run.imageOffset = in.u64();
    run.length = in.u64();
  }
  in.optional(record.fileSize);
  for (std::string& digest : record.hashes) in.string(digest);
  for (std::optional<disk_image::Timestamp>* time :
       {&record.times.modified, &record.times.accessed, &record.times.changed,
        &record.times.created}) {
    const bool present = in.u8() != 0;
    const auto seconds = static_cast<std::int64_t>(in.u64());
    const std::uint64_t nanoseconds = in.u64();
    if (nanoseconds >= 1000000000) return false;
    if (present) *time = disk_image::Timestamp{seconds, static_cast<std::uint32_t>(nanoseconds)};
  }
  const std::uint8_t allocation = in.u8();
  record.nameUnallocated = (allocation & 1) != 0;
  record.metaUnallocated = (allocation & 2) != 0;
  const std::uint64_t partition = in.u64();
  if (partition > 0xFFFFFFFFU) return false;
  record.partition = static_cast<std::uint32_t>(partition);
  in.string(record.pictures.thumbnail);
  in.string(record.pictures.thumbnailWhy);
  in.string(record.pictures.lowBits);
  in.string(record.pictures.lowBitsWhy);
  const std::uint64_t hops = in.u64();
  // Each hop takes at least 32 bytes: more than the payload holds is damage.
  if (!in.ok() || hops > payload_.size() / 32) return false;
  record.within.resize(static_cast<std::size_t>(hops));
  for (report::ContainerHop& hop : record.within) {
    in.string(hop.format);
    in.string(hop.member);
    hop.index = in.u64();
    in.string(hop.locator);
  }
  in.string(record.containerFormat);
  in.string(record.imageFile);

  if (!in.done() || verdict > static_cast<std::uint8_t>(report::Verdict::kError) ||
      skip >= report::kSkipReasonCount) {
    return false;
  }
  record.verdict = static_cast<report::Verdict>(verdict);
  record.notBmp = (flags & 1) != 0;
  record.wrongDepth = (flags & 2) != 0;
  record.deleted = (flags & 4) != 0;
  record.skip = static_cast<report::SkipReason>(skip);
  if (hasImage) record.image = std::move(image);
  return true;
}

}  // namespace quillmark::scan

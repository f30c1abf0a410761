#include "analysis/hidden_record.h"

#include <cstring>

namespace quillmark {

HiddenRecord HiddenRecord::readFrom(PixelBitReader& reader) {
  Bytes bytes{};
  for (std::uint8_t& byte : bytes) byte = reader.nextByte();
  return HiddenRecord(bytes);
}

bool HiddenRecord::hasMarker() const {
  static constexpr std::array<std::uint8_t, 4> kMarker = {'Q', 'M', 'K', 0};
  return std::memcmp(bytes_.data() + kMagicOffset, kMarker.data(), kMarker.size()) == 0;
}

std::string_view HiddenRecord::fileName() const {
  const char* const name = reinterpret_cast<const char*>(bytes_.data() + kFileNameOffset);
  const void* const end = std::memchr(name, 0, kFileNameSize);
  const std::size_t length = end == nullptr
                                 ? kFileNameSize
                                 : static_cast<std::size_t>(static_cast<const char*>(end) - name);
  return std::string_view(name, length);
}

double HiddenRecord::dataLength() const {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < sizeof bits; ++i) {
    bits |= static_cast<std::uint64_t>(bytes_[kDataLengthOffset + i]) << (8 * i);
  }
  double value = 0;
  static_assert(sizeof value == sizeof bits, "double must be IEEE-754 binary64");
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace quillmark

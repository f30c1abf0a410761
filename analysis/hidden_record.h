#ifndef QUILLMARK_ANALYSIS_HIDDEN_RECORD_H_
#define QUILLMARK_ANALYSIS_HIDDEN_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bitmap/pixel_bit_reader.h"

namespace quillmark {

// The first 140 bytes of the hidden byte stream, where Quillmark keeps its
// marker, the embedded file's name and its length:
//
//   offset 0,   4 bytes    magic       "QMK" and a zero byte
//   offset 4,   128 bytes  fileName    8-bit characters, ended by a zero byte
//   offset 132, 8 bytes    dataLength  IEEE-754 double, least significant byte first
//
// Nothing after the record is ever read; the embedded data stays untouched.
class HiddenRecord {
 public:
  static constexpr std::size_t kSize = 140;
  static constexpr std::size_t kFileNameSize = 128;
  using Bytes = std::array<std::uint8_t, kSize>;

  explicit HiddenRecord(const Bytes& bytes) : bytes_(bytes) {}

  // Pulls exactly kSize bytes from `reader`, all of them before anything is
  // judged, and keeps them in the order they came.
  static HiddenRecord readFrom(PixelBitReader& reader);

  // True when all four bytes of `magic` are "QMK" followed by a zero byte.
  bool hasMarker() const;
  // `fileName` up to its first zero byte; all 128 bytes when it has none.
  // The view points into this record.
  std::string_view fileName() const;
  // `dataLength` as the double it encodes, NaN and infinities included.
  double dataLength() const;

 private:
  static constexpr std::size_t kMagicOffset = 0;
  static constexpr std::size_t kFileNameOffset = 4;
  static constexpr std::size_t kDataLengthOffset = 132;

  Bytes bytes_;  // byte k is the k-th hidden byte, counting from 0
};

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_HIDDEN_RECORD_H_

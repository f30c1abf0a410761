#include "analysis/utf8.h"

namespace quillmark {

Utf8Character decodeUtf8(std::string_view text) {
  if (text.empty()) return {};
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return {1, lead};

  // The sequence length and the smallest code point it may encode (smaller
  // ones are overlong forms).
  std::size_t length = 0;
  std::uint32_t codePoint = 0;
  std::uint32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, codePoint = lead & 0x1FU, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, codePoint = lead & 0x0FU, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, codePoint = lead & 0x07U, smallest = 0x10000;
  } else {
    return {};  // a continuation byte without a lead, or 0xF8-0xFF
  }
  if (text.size() < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return {};
    codePoint = (codePoint << 6) | (next & 0x3FU);
  }
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  if (codePoint < smallest || codePoint > 0x10FFFF || surrogate) return {};
  return {length, codePoint};
}

bool isValidUtf8(std::string_view text) {
  while (!text.empty()) {
    const Utf8Character next = decodeUtf8(text);
    if (next.length == 0) return false;
    text.remove_prefix(next.length);
  }
  return true;
}

}  // namespace quillmark

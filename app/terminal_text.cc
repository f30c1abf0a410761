#include "app/terminal_text.h"

#include <array>

namespace quillmark {

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::size_t printableSequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7F ? 1 : 0;

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
    return 0;  // a continuation byte without a lead, or 0xF8-0xFF
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if (!isContinuation(next)) return 0;
    codePoint = (codePoint << 6) | (next & 0x3FU);
  }
  const bool valid =
      codePoint >= smallest && codePoint <= 0x10FFFF && (codePoint < 0xD800 || codePoint > 0xDFFF);
  const bool c1Control = codePoint >= 0x80 && codePoint <= 0x9F;
  return valid && !c1Control ? length : 0;
}

std::ostream& operator<<(std::ostream& out, const TerminalText& shown) {
  std::string_view rest = shown.text_;
  if (!shown.escaped_) return out.write(rest.data(), static_cast<std::streamsize>(rest.size()));

  static constexpr char kHex[] = "0123456789abcdef";
  while (!rest.empty()) {
    if (rest[0] == '\\') {
      out.write("\\\\", 2);
      rest.remove_prefix(1);
      continue;
    }
    // Printable text goes out in one piece, up to the next byte to escape.
    std::size_t printable = 0;
    while (printable < rest.size() && rest[printable] != '\\') {
      const std::size_t length = printableSequenceLength(rest.substr(printable));
      if (length == 0) break;
      printable += length;
    }
    if (printable > 0) {
      out.write(rest.data(), static_cast<std::streamsize>(printable));
      rest.remove_prefix(printable);
      continue;
    }
    const auto byte = static_cast<unsigned char>(rest[0]);
    const std::array<char, 4> escape = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
    out.write(escape.data(), escape.size());
    rest.remove_prefix(1);
  }
  return out;
}

}  // namespace quillmark

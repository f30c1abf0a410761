#include "analysis/terminal_text.h"

#include <array>

#include "analysis/utf8.h"

namespace quillmark {

std::size_t printableSequenceLength(std::string_view text) {
  const Utf8Character next = decodeUtf8(text);
  const bool control = next.codePoint < 0x20 || (next.codePoint >= 0x7F && next.codePoint <= 0x9F);
  return next.length > 0 && !control ? next.length : 0;
}

template <typename Write>
void TerminalText::writePieces(Write&& write) const {
  std::string_view rest = text_;
  if (!escaped_) {
    write(rest.data(), rest.size());
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  while (!rest.empty()) {
    if (rest[0] == '\\') {
      write("\\\\", 2);
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
      write(rest.data(), printable);
      rest.remove_prefix(printable);
      continue;
    }
    const auto byte = static_cast<unsigned char>(rest[0]);
    const std::array<char, 4> escape = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
    write(escape.data(), escape.size());
    rest.remove_prefix(1);
  }
}

std::ostream& operator<<(std::ostream& out, const TerminalText& shown) {
  shown.writePieces([&out](const char* bytes, std::size_t length) {
    out.write(bytes, static_cast<std::streamsize>(length));
  });
  return out;
}

void TerminalText::appendTo(std::string& out) const {
  writePieces([&out](const char* bytes, std::size_t length) { out.append(bytes, length); });
}

}  // namespace quillmark

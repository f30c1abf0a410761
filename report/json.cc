#include "report/json.h"

#include <charconv>
#include <cmath>

#include "analysis/utf8.h"

namespace quillmark::report {

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  while (!text.empty()) {
    const Utf8Character next = decodeUtf8(text);
    const std::uint32_t c = next.length > 0 ? next.codePoint : 0xFFFD;
    const std::size_t length = next.length > 0 ? next.length : 1;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (next.length == 0) {
      out += "\\ufffd";  // not reached for valid UTF-8, never invalid JSON
    } else {
      out.append(text.data(), length);
    }
    text.remove_prefix(length);
  }
  out += '"';
}

void appendJsonBytes(std::string& out, std::string_view bytes) {
  if (isValidUtf8(bytes)) {
    out += "{\"text\":";
    appendJsonString(out, bytes);
  } else {
    out += "{\"bytes\":\"";
    appendBase64(out, bytes);
    out += '"';
  }
  out += '}';
}

void appendJsonNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char digits[32];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end.ptr);
}

void appendBase64(std::string& out, std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group =
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
        static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
        static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return;
  std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
  if (rest == 2) group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
  out += kAlphabet[group >> 18];
  out += kAlphabet[(group >> 12) & 63];
  out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
  out += '=';
}

}  // namespace quillmark::report

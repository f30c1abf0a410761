#include "report/markup_text.h"

#include <cstdio>
#include <ctime>

#include "analysis/utf8.h"

namespace quillmark::report {

bool appendXmlText(std::string& out, std::string_view bytes, bool attribute) {
  static constexpr char kHex[] = "0123456789abcdef";
  bool exact = true;
  while (!bytes.empty()) {
    const Utf8Character next = decodeUtf8(bytes);
    const std::uint32_t c = next.codePoint;
    // What XML 1.0 holds, less the controls a reader could not tell apart.
    const bool text =
        next.length > 0 && c >= 0x20 && !(c >= 0x7F && c <= 0x9F) && c != 0xFFFE && c != 0xFFFF;
    if (!text) {
      const std::size_t length = next.length > 0 ? next.length : 1;
      for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
      }
      bytes.remove_prefix(length);
      exact = false;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      case '\\':
        out += "\\\\";
        exact = false;
        break;
      default:
        out.append(bytes.data(), next.length);
    }
    bytes.remove_prefix(next.length);
  }
  return exact;
}

std::optional<std::string> isoTime(std::int64_t seconds, std::uint32_t nanoseconds) {
  // Years 1 to 9999: from -62135596800 to 253402300799 seconds.
  if (seconds < -62135596800LL || seconds > 253402300799LL || nanoseconds >= 1000000000) {
    return std::nullopt;
  }
  const auto moment = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&moment, &parts) == nullptr) return std::nullopt;
  char text[48];
  int length =
      std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900,
                    parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  if (length <= 0) return std::nullopt;
  std::string result(text, static_cast<std::size_t>(length));
  if (nanoseconds != 0) {
    (void)std::snprintf(text, sizeof text, ".%09u", nanoseconds);
    std::string fraction = text;
    while (fraction.back() == '0') fraction.pop_back();
    result += fraction;
  }
  return result + "Z";
}

std::string shellCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& word : arguments) {
    if (!line.empty()) line += ' ';
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789-_=./,:+@%") == std::string::npos;
    if (plain) {
      line += word;
      continue;
    }
    line += '\'';
    for (const char c : word) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

}  // namespace quillmark::report

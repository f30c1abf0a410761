#include "analysis/terminal_text.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace quillmark {
namespace {

std::string shown(const std::string& text, bool escaped) {
  std::ostringstream out;
  out << TerminalText(text, escaped);
  return out.str();
}

// Reverses the escaping: \\ is a backslash, \xHH one byte.
std::string unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
    } else if (text[i + 1] == '\\') {
      bytes += '\\', ++i;
    } else {
      bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)), i += 3;
    }
  }
  return bytes;
}

TEST(TerminalTextTest, HostileNamesAreEscapedForATerminal) {
  struct Case {
    const char* what;
    std::string name, escaped;
  };
  const Case cases[] = {
      {"plain name", "notes.txt", "notes.txt"},
      {"window title (OSC 0, BEL)", "\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
      {"clipboard write (OSC 52)", "\x1b]52;c;ZXZpbA==\x1b\\", "\\x1b]52;c;ZXZpbA==\\x1b\\\\"},
      {"clear screen (CSI)", "\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},
      {"carriage return hides what came before", "ok\rclean.txt", "ok\\x0dclean.txt"},
      {"line feed forges a line", "a\nFile does not", "a\\x0aFile does not"},
      {"tab and DEL", "a\tb\x7f", "a\\x09b\\x7f"},
      {"8-bit CSI alone is not UTF-8",
       "\x9b"
       "2J",
       "\\x9b2J"},
      {"C1 CSI as UTF-8 (U+009B)",
       "\xc2\x9b"
       "2J",
       "\\xc2\\x9b2J"},
      {"last C1 control U+009F", "\xc2\x9f", "\\xc2\\x9f"},
      {"first character after C1, U+00A0", "\xc2\xa0", "\xc2\xa0"},
      {"valid UTF-8 stays", "r\xc3\xa9sum\xc3\xa9.txt", "r\xc3\xa9sum\xc3\xa9.txt"},
      {"three- and four-byte UTF-8", "\xe2\x82\xac\xf0\x9f\x94\x91",
       "\xe2\x82\xac\xf0\x9f\x94\x91"},
      {"overlong slash", "\xc0\xaf", "\\xc0\\xaf"},
      {"UTF-16 surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"past U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"truncated sequence at the end", "a\xe2\x82", "a\\xe2\\x82"},
      {"lead byte then ASCII",
       "\xc3"
       "A",
       "\\xc3A"},
      {"backslash is doubled", "C:\\x1b", "C:\\\\x1b"},
      {"128 bytes of name", std::string(127, 'n') + "\x1b", std::string(127, 'n') + "\\x1b"},
  };
  for (const Case& c : cases) {
    const std::string escaped = shown(c.name, true);
    EXPECT_EQ(escaped, c.escaped) << c.what;
    EXPECT_EQ(unescape(escaped), c.name) << c.what << ": the escaped form reads back";
    EXPECT_EQ(shown(c.name, false), c.name) << c.what << ": unescaped, the bytes as stored";
    for (const char byte : escaped) {
      const auto value = static_cast<unsigned char>(byte);
      EXPECT_TRUE(value >= 0x20 && value != 0x7F) << c.what << ": control byte left in output";
    }
  }
}

}  // namespace
}  // namespace quillmark

#ifndef QUILLMARK_ANALYSIS_TERMINAL_TEXT_H_
#define QUILLMARK_ANALYSIS_TERMINAL_TEXT_H_

#include <ostream>
#include <string>
#include <string_view>

namespace quillmark {

// Bytes from an untrusted source (a name stored in an image, a path on an
// evidence drive), written so that a terminal shows them and acts on none of
// them. When `escaped` is set, control bytes (0x00-0x1F, 0x7F), the C1
// controls U+0080-U+009F and bytes that are not part of valid UTF-8 are
// written as \xHH with two lowercase hex digits, one escape per byte, and a
// backslash is doubled, so the escaped form reads back to exactly one byte
// string. Printable ASCII and other valid UTF-8 text is written unchanged.
// When `escaped` is clear the bytes are written exactly as they are, for
// pipes and files whose readers want the stored bytes.
//
//   out << TerminalText(name, isatty(STDOUT_FILENO) == 1);
class TerminalText {
 public:
  TerminalText(std::string_view text, bool escaped) : text_(text), escaped_(escaped) {}

  friend std::ostream& operator<<(std::ostream& out, const TerminalText& shown);
  // Appends the text as operator<< writes it.
  void appendTo(std::string& out) const;

 private:
  // Hands `write` the text in pieces, escaped or not.
  template <typename Write>
  void writePieces(Write&& write) const;

  std::string_view text_;  // borrowed: must outlive the insertion
  bool escaped_;
};

// The length of the valid UTF-8 sequence at the start of `text` that encodes
// a character other than a control (C0, DEL or C1), or 0 when the first byte
// must be escaped.
std::size_t printableSequenceLength(std::string_view text);

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_TERMINAL_TEXT_H_

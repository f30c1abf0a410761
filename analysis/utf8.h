#ifndef QUILLMARK_ANALYSIS_UTF8_H_
#define QUILLMARK_ANALYSIS_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillmark {

// One character decoded from the start of a byte string.
struct Utf8Character {
  std::size_t length = 0;       // bytes it takes; 0 when the bytes are not valid UTF-8
  std::uint32_t codePoint = 0;  // meaningful when length > 0
};

// Decodes the UTF-8 sequence at the start of `text`. Overlong forms, UTF-16
// surrogates, code points past U+10FFFF and truncated sequences are not
// valid; an empty `text` is not valid either.
Utf8Character decodeUtf8(std::string_view text);

// True when all of `text` is valid UTF-8.
bool isValidUtf8(std::string_view text);

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_UTF8_H_

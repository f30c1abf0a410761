#ifndef QUILLMARK_REPORT_JSON_H_
#define QUILLMARK_REPORT_JSON_H_

#include <string>
#include <string_view>

namespace quillmark::report {

// Appends `text`, which must be valid UTF-8, as a JSON string: quoted, with
// '"', '\' and the control characters below U+0020 escaped, and DEL and the
// C1 controls written as \u escapes too so that a terminal showing the line
// acts on none of them.
void appendJsonString(std::string& out, std::string_view text);

// Appends bytes that may not be UTF-8 losslessly: {"text": "..."} when they
// are valid UTF-8, else {"bytes": "<base64>"}, as ripgrep's JSON output does.
void appendJsonBytes(std::string& out, std::string_view bytes);

// Appends `value` as the shortest JSON number that reads back to the same
// double, or null when it is not finite (JSON has no NaN or infinity).
void appendJsonNumber(std::string& out, double value);

// Appends `bytes` in standard base64 (RFC 4648), padded.
void appendBase64(std::string& out, std::string_view bytes);

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_JSON_H_

#ifndef QUILLMARK_REPORT_MARKUP_TEXT_H_
#define QUILLMARK_REPORT_MARKUP_TEXT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark::report {

// Texts that the documents of a scan (DFXML, HTML) write the same way.

// Appends `bytes` as XML character data (or, with `attribute`, as an
// attribute value): markup characters as entities; control bytes, DEL, the
// C1 controls, code points XML cannot hold, and bytes that are not valid
// UTF-8 as \xHH, with a backslash doubled. Returns true when the text
// reads back as exactly `bytes`, nothing having been written as \xHH.
bool appendXmlText(std::string& out, std::string_view bytes, bool attribute = false);

// `moment` as an xs:dateTime in UTC ("2026-12-09T05:00:00Z", with the
// nanoseconds where there are any), or nothing for a moment outside the
// years 1 to 9999.
std::optional<std::string> isoTime(std::int64_t seconds, std::uint32_t nanoseconds = 0);

// The command line as a shell would take it back: words with anything but
// plain characters in single quotes.
std::string shellCommandLine(const std::vector<std::string>& arguments);

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_MARKUP_TEXT_H_

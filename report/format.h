#ifndef QUILLMARK_REPORT_FORMAT_H_
#define QUILLMARK_REPORT_FORMAT_H_

namespace quillmark::report {

// The forms a scan's records are written in (--format).
enum class Format { kText, kCsv, kJsonl, kDfxml, kHtml };

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_FORMAT_H_

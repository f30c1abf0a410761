#ifndef QUILLMARK_REPORT_HTML_WRITER_H_
#define QUILLMARK_REPORT_HTML_WRITER_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "report/scan_provenance.h"
#include "report/scan_record.h"
#include "report/skip_reason.h"

namespace quillmark::report {

// Writes the scan as one self-contained HTML5 document that a person opens
// in a browser, record by record as the scan goes, so that memory stays
// flat however many files there are:
//
//   about     the tool, its libraries, the command line, the host, the
//             start, and each piece of evidence named (kind, path, size)
//   summary   counts by verdict and skips by reason, the end, and whether
//             the scan ran to its end; written last, shown second
//   files     one table row per record: verdict, location (the path as one
//             piece of text, then image, file system, inode, deleted,
//             carved offset), hidden name, length as printed, warnings or
//             reason and times, digests; and for a payload the carrier's
//             thumbnail and its low bits, or a placeholder saying why not
//
// The rows are written in scan order and shown payloads first, then
// errors, then the rest, by the style alone (flex order), so that nothing
// is held back. Without `all` only payloads and errors have rows; every
// record is counted in the summary.
//
// Nothing is loaded from anywhere: the style, a small script (filter and
// sort, by text and by verdict) and the pictures (PNG data: URIs) are in
// the document, and its Content-Security-Policy allows only those, the
// style and script by their digests. Every text from evidence is escaped,
// control bytes and bytes that are not UTF-8 shown as \xHH.
class HtmlWriter {
 public:
  HtmlWriter(ScanProvenance provenance, bool all) : provenance_(std::move(provenance)), all_(all) {}

  // Appends the head, the about section and the start of the table.
  void appendHeader(std::string& out) const;
  // Counts `record` and, where it has one, appends its row.
  void append(const ScanRecord& record, std::string& out);
  // Appends the end of the table, the summary and the script; nothing may
  // follow. `stoppedBy` is empty for a scan that ran to its end, else what
  // stopped it ("SIGINT"), which the summary states as incomplete.
  void appendFooter(std::string_view stoppedBy, std::string& out);

  // The Content-Security-Policy of the document.
  static std::string contentSecurityPolicy();

 private:
  void appendRow(const ScanRecord& record, std::string& out) const;

  ScanProvenance provenance_;
  bool all_;
  std::array<std::uint64_t, 4> verdicts_{};  // by Verdict
  std::array<std::uint64_t, kSkipReasonCount> skips_{};
};

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_HTML_WRITER_H_

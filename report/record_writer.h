#ifndef QUILLMARK_REPORT_RECORD_WRITER_H_
#define QUILLMARK_REPORT_RECORD_WRITER_H_

#include <string>

#include "report/dfxml_writer.h"
#include "report/format.h"
#include "report/html_writer.h"
#include "report/scan_record.h"

namespace quillmark::report {

// Formats records for standard output, one line per file:
//   text   "PATH: payload FOUND, embedded file name: NAME, length of embedded
//          data: LENGTH", and with `all` also "PATH: OK", "PATH: SKIPPED
//          (REASON)" and "PATH: ERROR (REASON)"; header warnings follow in
//          parentheses; in a disk image "IMAGE (FS at OFFSET) PATH" takes
//          the place of PATH, with "(deleted)" after a deleted file;
//   csv    RFC 4180, CRLF line ends, a header row, every file;
//   jsonl  one JSON object per line, every file, always valid UTF-8;
//   dfxml  one DFXML document, a <fileobject> per file (see DfxmlWriter);
//   html   one HTML document with pictures of the carriers (see HtmlWriter).

// With `escapeText` (standard output is a terminal), paths, names, images
// and reasons in text and csv are escaped as TerminalText does; JSON needs
// no escaping beyond its own.
class RecordWriter {
 public:
  // `hashes`: the digests the scan takes, each a CSV column of its own.
  RecordWriter(Format format, bool all, bool escapeText, DigestSet hashes = {})
      : format_(format), all_(all), escapeText_(escapeText), hashes_(hashes) {}
  // For the documents, DFXML and HTML, with who wrote them.
  RecordWriter(Format format, ScanProvenance provenance, bool all)
      : format_(format), all_(all), escapeText_(false) {
    if (format == Format::kHtml) {
      html_.emplace(std::move(provenance), all);
    } else {
      format_ = Format::kDfxml;
      dfxml_.emplace(std::move(provenance));
    }
  }

  // Appends what comes before the first record: the CSV header row, the
  // DFXML prologue.
  void appendHeader(std::string& out) const;
  // Appends the line for `record`, if the format has one for it.
  void append(const ScanRecord& record, std::string& out);
  // Appends what comes after the last record: the end of the document.
  // `stoppedBy` is empty when the scan ran to its end, else what stopped it
  // ("SIGINT"), which the HTML report states.
  void appendFooter(std::string& out, std::string_view stoppedBy = {});

 private:
  void appendText(const ScanRecord& record, std::string& out) const;
  void appendCsv(const ScanRecord& record, std::string& out) const;
  void appendJson(const ScanRecord& record, std::string& out) const;

  Format format_;
  bool all_;
  bool escapeText_;
  DigestSet hashes_{};
  std::optional<DfxmlWriter> dfxml_;
  std::optional<HtmlWriter> html_;
};

// Appends where the record's bytes came from, as text and standard error
// name it: the path of a host file; for a disk image the image, the file
// system's type and offset ("disk.img (ext4 at 1048576)", or the partition's,
// or the offset a bitmap was carved at), the path and "(deleted)". With
// `escapeText`, each part is escaped as TerminalText does.
// A member of a container is followed by its chain, a hop per level:
// " [zip #3 photos/a.bmp]", with " at LOCATOR" in a mailbox.
void appendLocation(const ScanRecord& record, bool escapeText, std::string& out);
// The chain alone, as appendLocation ends with it.
void appendHops(const ScanRecord& record, bool escapeText, std::string& out);

// Appends `within` as a JSON array of {"format", "member", "index",
// "locator"}, the member's name and the locator lossless as a path is
// ({"text"} or {"bytes"}), the locator null outside mailboxes.
void appendWithin(std::string& out, const std::vector<ContainerHop>& within);

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_RECORD_WRITER_H_

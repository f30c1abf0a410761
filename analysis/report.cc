#include "analysis/report.h"

#include "analysis/analysis.h"
#include "analysis/terminal_text.h"

#ifndef QUILLMARK_VERSION
#error "QUILLMARK_VERSION must be defined by the build"
#endif

namespace quillmark {

void writeTitle(std::ostream& out) {
  out << "Quillmark Detector " QUILLMARK_VERSION " " << std::endl;
}

void writeDataLength(std::ostream& out, double length) { out << length; }

bool writeReport(std::string_view path, std::istream& image, std::ostream& out,
                 const ReportStyle& style) {
  const std::optional<Analysis> found = analyse(image, style.readAheadFd);
  if (!found) return false;

  out << "Analysing file " << TerminalText(path, style.escapeText) << std::endl;
  if (!found->bmpType) out << kNotBmpWarning << std::endl;
  if (!found->depth24) out << kColourDepthWarning << std::endl;
  if (found->hasPayload()) {
    out << "Steganographic message detected." << std::endl;
    out << "embedded file name: " << TerminalText(found->record.fileName(), style.escapeText)
        << std::endl;
    out << "length of embedded data: ";
    writeDataLength(out, found->record.dataLength());
    out << std::endl;
  } else {
    out << "File does not contain any Quillmark hidden data. " << std::endl;
  }
  return true;
}

}  // namespace quillmark

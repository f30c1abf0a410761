#ifndef QUILLMARK_ANALYSIS_REPORT_H_
#define QUILLMARK_ANALYSIS_REPORT_H_

#include <istream>
#include <ostream>
#include <string_view>

namespace quillmark {

// The warning lines of the header checks, as both programs print them.
inline constexpr std::string_view kNotBmpWarning = "Not a BMP file";
inline constexpr std::string_view kColourDepthWarning = "Colour depth should be 24 bits";

// How writeReport writes what it found.
struct ReportStyle {
  // Write the path and the embedded file name as TerminalText escapes them,
  // for a terminal; clear, they are written exactly as stored.
  bool escapeText = false;
  // A descriptor of the image's file for read-ahead hints, or -1 for none.
  int readAheadFd = -1;
};

// Writes the title line, "Quillmark Detector" with the version, ending in a
// blank.
void writeTitle(std::ostream& out);

// Writes the embedded data length as both programs print it: the default
// floating-point format, six significant digits ("1234", "1.23457e+06").
void writeDataLength(std::ostream& out, double length);

// Analyses the bitmap that `image` holds from its start and writes the
// report for it to `out`: "Analysing file" with `path`, the header warnings
// and the verdict, each line flushed as it is written. `image` must be
// seekable; a file too short for the header or the walk is still reported,
// from whatever bytes it gave.
//
// Returns false, having written nothing, when the image cannot be analysed
// at all (see analyse: a directory, an I/O error, a pipe).
bool writeReport(std::string_view path, std::istream& image, std::ostream& out,
                 const ReportStyle& style = ReportStyle());

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_REPORT_H_

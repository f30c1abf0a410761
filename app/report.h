#ifndef QUILLMARK_APP_REPORT_H_
#define QUILLMARK_APP_REPORT_H_

#include <istream>
#include <ostream>
#include <string_view>

namespace quillmark {

// Writes the title line, "Quillmark Detector" with the version, ending in a
// blank.
void writeTitle(std::ostream& out);

// Analyses the bitmap that `image` holds from its start and writes the
// report for it to `out`: "Analysing file" with `path`, the header warnings
// and the verdict, each line flushed as it is written. `image` must be
// seekable; a file too short for the header or the walk is still reported,
// from whatever bytes it gave.
//
// Returns false, having written nothing, when reading the header failed with
// an error rather than at end of file (a directory, an I/O error), or when
// `image` cannot seek (a pipe): such an input cannot be analysed at all.
bool writeReport(std::string_view path, std::istream& image, std::ostream& out);

}  // namespace quillmark

#endif  // QUILLMARK_APP_REPORT_H_

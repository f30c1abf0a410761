#ifndef QUILLMARK_ANALYSIS_ANALYSIS_H_
#define QUILLMARK_ANALYSIS_ANALYSIS_H_

#include <istream>
#include <optional>

#include "analysis/hidden_record.h"

namespace quillmark {

// What the analysis of one image found: the two header checks and the hidden
// record pulled along the walk. Both programs judge and print from this, so
// they always agree on a file.
struct Analysis {
  bool bmpType;  // the file begins with "BM"
  bool depth24;  // `biBitCount` is 24
  HiddenRecord record;

  bool hasPayload() const { return record.hasMarker(); }
};

// Reads the header of the bitmap that `image` holds from its start, walks
// its pixels and pulls the hidden record. `image` must be seekable; a file
// too short for the header or the walk is still analysed, from whatever
// bytes it gave. When `readAheadFd` is a descriptor of the same file, the
// pages the walk will read are handed to the kernel as read-ahead hints
// before the first pixel is read; the reads themselves do not change.
//
// Returns nothing when reading the header failed with an error rather than
// at end of file (a directory, an I/O error), or when `image` cannot seek (a
// pipe): such an input cannot be analysed at all. Allocates nothing and
// throws nothing of its own.
std::optional<Analysis> analyse(std::istream& image, int readAheadFd = -1);

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_ANALYSIS_H_

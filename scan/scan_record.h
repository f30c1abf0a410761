#ifndef QUILLMARK_SCAN_SCAN_RECORD_H_
#define QUILLMARK_SCAN_SCAN_RECORD_H_

#include <cstdint>
#include <string>

#include "scan/skip_reason.h"

namespace quillmark::scan {

// What became of one file: the verdict and what goes with it.
enum class Verdict { kPayload, kClean, kSkipped, kError };

// The scanner's report on one file, whatever the output format. For an
// analysed file the warnings, name and length are those quillmark-detect
// prints for it.
struct ScanRecord {
  std::string path;  // as walked: the bytes of the name on the file system
  Verdict verdict = Verdict::kError;
  bool notBmp = false;                  // "Not a BMP file"
  bool wrongDepth = false;              // "Colour depth should be 24 bits"
  std::string name;                     // the embedded file name, with a payload
  double length = 0;                    // the embedded data length, with a payload
  std::string lengthText;               // the length as quillmark-detect prints it, with a payload
  std::string reason;                   // why the file was skipped or could not be read
  SkipReason skip = SkipReason::kNone;  // with kSkipped: why, for the summary
  std::uint64_t bytesRead = 0;          // bytes read from the file

  // Makes the record reusable for another file, keeping its strings' memory.
  void clear() {
    path.clear();
    verdict = Verdict::kError;
    notBmp = wrongDepth = false;
    skip = SkipReason::kNone;
    name.clear();
    length = 0;
    lengthText.clear();
    reason.clear();
    bytesRead = 0;
  }
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_SCAN_RECORD_H_

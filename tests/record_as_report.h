#ifndef QUILLMARK_TESTS_RECORD_AS_REPORT_H_
#define QUILLMARK_TESTS_RECORD_AS_REPORT_H_

#include <string>

#include "analysis/report.h"
#include "report/scan_record.h"

namespace quillmark::testing {

// The lines quillmark-detect prints after "Analysing file", rebuilt from
// what the scanner recorded, so that the two can be compared whole. A file
// the scanner did not analyse gives a line that no report has.
inline std::string recordAsReport(const report::ScanRecord& record) {
  std::string report;
  if (record.notBmp) report += std::string(kNotBmpWarning) + "\n";
  if (record.wrongDepth) report += std::string(kColourDepthWarning) + "\n";
  if (record.verdict == report::Verdict::kPayload) {
    report += "Steganographic message detected.\nembedded file name: " + record.name +
              "\nlength of embedded data: " + record.lengthText + "\n";
  } else if (record.verdict == report::Verdict::kClean) {
    report += "File does not contain any Quillmark hidden data. \n";
  } else {
    report += "not analysed: " + record.reason + "\n";
  }
  return report;
}

}  // namespace quillmark::testing

#endif  // QUILLMARK_TESTS_RECORD_AS_REPORT_H_

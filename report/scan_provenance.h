#ifndef QUILLMARK_REPORT_SCAN_PROVENANCE_H_
#define QUILLMARK_REPORT_SCAN_PROVENANCE_H_

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace quillmark::report {

// Who wrote a report and from what: what a document that is filed with a
// case states about its own making.
struct ScanProvenance {
  std::vector<std::string> arguments;  // the command line, as given
  std::vector<std::string> paths;      // the files and folders named, in order
  std::string filesFrom;               // the list of paths read, if any ("-": standard input)
  std::vector<std::string> images;     // the disk images named, in order
  std::time_t start = 0;               // when the scan started
  // The libraries the scan runs with and their versions.
  std::vector<std::pair<std::string, std::string>> libraries;
};

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_SCAN_PROVENANCE_H_

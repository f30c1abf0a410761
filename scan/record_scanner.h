#ifndef QUILLMARK_SCAN_RECORD_SCANNER_H_
#define QUILLMARK_SCAN_RECORD_SCANNER_H_

#include <cstdint>
#include <sstream>

#include "analysis/content_reader.h"
#include "scan/scan_record.h"
#include "scan/scan_task.h"
#include "tree/host_file.h"
#include "tree/tree_walker.h"

namespace quillmark::scan {

// Completes the records of a scan: reads each file its task names, from
// wherever it lives, through the shared ContentReader, and turns what the
// analysis found, or why it could not run, into the record. One scanner
// serves one worker thread and keeps its buffers from file to file.
class RecordScanner {
 public:
  explicit RecordScanner(bool bmpOnly, std::uint64_t wholeLimit = ContentReader::kDefaultWholeLimit)
      : bmpOnly_(bmpOnly), reader_(wholeLimit) {}

  // Carries out `task` for `record`, whose path and location the walk set.
  void complete(const ScanTask& task, ScanRecord& record);

  // Analyses the regular file open as `fd`, which stays open, into
  // `record`.
  void scanOpenFile(int fd, ScanRecord& record);

 private:
  void scanHostFile(bool followLink, ScanRecord& record);
  void scanOpened(tree::HostFile::Opened opened, tree::HostFile& file, ScanRecord& record);
  // Fills `record` from what the reader made of `source`; false when the
  // content could not be read, which the caller explains.
  bool fillFrom(ContentSource& source, ScanRecord& record);

  bool bmpOnly_;
  ContentReader reader_;
  tree::HostFile hostFile_;
  std::ostringstream lengthText_;
};

// The record and task for what the tree walk found: a regular file to open
// and analyse, or a record that is complete as it is (a skip, an error).
void recordWalkEntry(tree::WalkEntry& entry, ScanRecord& record, ScanTask& task);

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_RECORD_SCANNER_H_

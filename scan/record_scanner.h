#ifndef QUILLMARK_SCAN_RECORD_SCANNER_H_
#define QUILLMARK_SCAN_RECORD_SCANNER_H_

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/content_reader.h"
#include "scan/content_digests.h"
#include "scan/options.h"

#include "disk_image/image_entry.h"
#include "disk_image/image_reader.h"
#include "report/carrier_pictures.h"
#include "report/scan_record.h"
#include "scan/scan_task.h"
#include "tree/host_file.h"
#include "tree/tree_walker.h"

namespace quillmark::scan {

// What the workers of a scan do with each file besides analysing it.
struct ScanSettings {
  bool bmpOnly = false;        // skip files that do not begin with "BM"
  report::DigestSet hashes{};  // digests of the whole content of each file with a payload
  bool hashAll = false;        // of every analysed file, not only those with a payload
  bool pictures = false;       // pictures of each carrier with a payload, for the report
  // Tell containers by their first bytes, for a container child to read.
  bool containers = false;
};

// The settings the command line asks for.
ScanSettings scanSettings(const Options& options);

// Completes the records of a scan: reads each file its task names, from
// wherever it lives, through the shared ContentReader, and turns what the
// analysis found, or why it could not run, into the record. One scanner
// serves one worker thread and keeps its buffers from file to file.
//
// Digests of a file are taken over its whole content: with hashAll the
// content is read once, whole, for both; for payloads only, the files with
// a payload are read through again after their analysis (small ones are
// already whole in memory). A host file that changed while it was read is an
// error, never a digest of bytes that are no longer its own.
class RecordScanner {
 public:
  // `images` names the disk images by index, for tasks that read from them;
  // it must outlive the scanner.
  RecordScanner(const ScanSettings& settings, const std::vector<std::string>& images,
                std::uint64_t wholeLimit = ContentReader::kDefaultWholeLimit)
      : settings_(settings),
        hashing_(settings.hashes != report::DigestSet{}),
        reader_(wholeLimit),
        imageReader_(images),
        digests_(settings.hashes) {}
  // A scanner of host files only, without digests.
  explicit RecordScanner(bool bmpOnly, std::uint64_t wholeLimit = ContentReader::kDefaultWholeLimit)
      : RecordScanner(ScanSettings{bmpOnly, {}, false}, noImages(), wholeLimit) {}

  // Carries out `task` for `record`, whose path and location the walk set.
  void complete(const ScanTask& task, report::ScanRecord& record);

  // Analyses content that can only be read once, in order (a member of a
  // container as it streams), into `record`: the digests asked for are taken
  // as it passes. False when the content could not be read.
  bool scanStream(ContentSource& source, report::ScanRecord& record);
  // Analyses content that is read by offset, as a file is (an attachment
  // in a mailbox), into `record`. False when it could not be read.
  bool scanSource(ContentSource& source, report::ScanRecord& record) {
    return fillFrom(source, record);
  }

  // Analyses the regular file open as `fd`, which stays open, into
  // `record`.
  void scanOpenFile(int fd, report::ScanRecord& record);

 private:
  static const std::vector<std::string>& noImages();
  void scanHostFile(bool followLink, report::ScanRecord& record);
  void scanImageFile(const disk_image::FileRef& file, report::ScanRecord& record);
  void scanOpened(tree::HostFile::Opened opened, tree::HostFile& file, report::ScanRecord& record);
  // Fills `record` from what the reader made of `source`, digests
  // included; false when the content could not be read, which the caller
  // explains. `host` is the source when it is a file on the host, whose
  // change while it was read is an error.
  bool fillFrom(ContentSource& source, report::ScanRecord& record,
                const tree::HostFile* host = nullptr);
  // True, with the record marked (containerFormat), when `source` begins
  // as a container does.
  bool isContainer(ContentSource& source, report::ScanRecord& record);

  ScanSettings settings_;
  bool hashing_;
  ContentReader reader_;
  tree::HostFile hostFile_;
  disk_image::ImageReader imageReader_;
  ContentDigests digests_;
  report::CarrierPainter painter_;
  bool streaming_ = false;  // within scanStream
  // Takes the bytes of a stream read through without a digest.
  struct Ignored final : ContentSink {
    void consume(const char*, std::size_t) override {}
  } ignored_;
  std::ostringstream lengthText_;
};

// The record and task for what the tree walk found: a regular file to open
// and analyse, or a record that is complete as it is (a skip, an error).
void recordWalkEntry(tree::WalkEntry& entry, report::ScanRecord& record, ScanTask& task);

// The record and task for what the walk of the disk image named `image`
// found: a file to read out of it and analyse, or a record of a part of the
// image that holds nothing to analyse.
void recordImageEntry(disk_image::ImageEntry& entry, const std::string& image,
                      report::ScanRecord& record, ScanTask& task);

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_RECORD_SCANNER_H_

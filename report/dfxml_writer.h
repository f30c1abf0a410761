#ifndef QUILLMARK_REPORT_DFXML_WRITER_H_
#define QUILLMARK_REPORT_DFXML_WRITER_H_

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report/digest_algorithm.h"
#include "report/scan_provenance.h"
#include "report/scan_record.h"

namespace quillmark::report {

// Writes the scan as one Digital Forensics XML (DFXML 2.0) document, record
// by record as the scan goes, so that memory stays flat however many files
// there are:
//
//   <dfxml> <metadata/> <creator/> <source/> then a <volume> per file
//   system of an image (its offset and type in the image), holding a
//   <fileobject> per record, </dfxml>
//
// The schema puts every <volume> before the top-level <fileobject>s, and a
// scan walks trees before images, so every record goes in a volume: the
// tree's files in one of their own, the records of an image outside its file
// systems (the image itself, a partition without one, a bitmap carved out of
// unallocated space outside any) in one without an offset. Each volume names
// its image in our namespace's "image" attribute.
//
// A <fileobject> holds what the schema defines that the scan knows, in the
// schema's order (filename, error, partition, name_type, filesize,
// allocation, orphan, inode, times, byte_runs, hashdigest), then our own
// findings in our namespace (kNamespace): verdict, warnings, the embedded
// name, the length as printed, the reason a file was skipped or could not
// be read, the carved offset. A name or a path that XML cannot hold as it
// is (control bytes, bytes that are not UTF-8) is written as a terminal
// shows it (\xHH, a doubled backslash), and its exact bytes follow in our
// namespace's *_bytes element, in base64.
class DfxmlWriter {
 public:
  static constexpr const char* kNamespace = "urn:x-quillmark:scan:1";

  // Who wrote the document, for its <creator> and <source>.
  using Provenance = ScanProvenance;

  explicit DfxmlWriter(Provenance provenance) : provenance_(std::move(provenance)) {}

  // Appends what comes before the first record.
  void appendHeader(std::string& out) const;
  // Appends the record's <fileobject>, in its volume.
  void append(const ScanRecord& record, std::string& out);
  // Appends what ends the document; nothing may follow.
  void appendFooter(std::string& out);

 private:
  // Which volume a record belongs in.
  struct Volume {
    bool inImage = false;
    std::string image;
    std::optional<std::uint64_t> offset;
    std::string type;
    std::optional<std::uint64_t> poolVolume;  // a volume of an APFS container: its superblock
    bool operator==(const Volume& other) const {
      return inImage == other.inImage && image == other.image && offset == other.offset &&
             type == other.type && poolVolume == other.poolVolume;
    }
  };
  void openVolume(const Volume& volume, std::string& out);

  Provenance provenance_;
  std::optional<Volume> open_;
};

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_DFXML_WRITER_H_

#ifndef QUILLMARK_REPORT_SCAN_RECORD_H_
#define QUILLMARK_REPORT_SCAN_RECORD_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk_image/image_entry.h"
#include "report/carrier_pictures.h"
#include "report/digest_algorithm.h"
#include "report/skip_reason.h"

namespace quillmark::report {

// What became of one file: the verdict and what goes with it.
enum class Verdict { kPayload, kClean, kSkipped, kError };

// The verdict's name in the csv, jsonl and DFXML reports: "payload",
// "clean", "skipped", "error".
inline const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPayload:
      return "payload";
    case Verdict::kClean:
      return "clean";
    case Verdict::kSkipped:
      return "skipped";
    case Verdict::kError:
      break;
  }
  return "error";
}

// One level of the containers a member lies in: the container's format
// ("zip", "tar.gz", "gzip", "pst"), the member's name as stored, its 0-based
// position among the container's members (names repeat in real archives),
// and, in a mailbox, the locator its own tools follow (folder, message and
// attachment number), else empty.
struct ContainerHop {
  std::string format;
  std::string member;
  std::uint64_t index = 0;
  std::string locator;
  bool operator==(const ContainerHop& other) const {
    return format == other.format && member == other.member && index == other.index &&
           locator == other.locator;
  }
};

// The scanner's report on one file, whatever the output format. For an
// analysed file the warnings, name and length are those quillmark-detect
// prints for it.
//
// A file inside a disk image also says where its bytes came from, precisely
// enough to extract them again with other tools: the image, the file
// system's offset in it and its type, the file's metadata address, and
// whether it is deleted. A record for a part of an image (the image itself,
// a partition, a file system) has no path.
struct ScanRecord {
  // As walked: the bytes of the name on the file system. In an image, the
  // path from the file system's root, "/dir/name" (":stream" after an NTFS
  // named stream); empty for a record of a part of an image.
  std::string path;
  Verdict verdict = Verdict::kError;
  bool notBmp = false;                  // "Not a BMP file"
  bool wrongDepth = false;              // "Colour depth should be 24 bits"
  std::string name;                     // the embedded file name, with a payload
  double length = 0;                    // the embedded data length, with a payload
  std::string lengthText;               // the length as quillmark-detect prints it, with a payload
  std::string reason;                   // why the file was skipped or could not be read
  SkipReason skip = SkipReason::kNone;  // with kSkipped: why, for the summary
  std::uint64_t bytesRead = 0;          // bytes read from the file

  // Where the bytes came from, for files and parts of disk images.
  std::optional<std::string> image;       // the image as it was named
  std::optional<std::uint64_t> fsOffset;  // the file system's (or partition's) byte offset
  std::string fsType;                     // the file system's type in lower case, or empty
  // In a pool of volumes (an APFS container at fsOffset): the block of the
  // volume's superblock, by which its tools name the volume (icat -B).
  std::optional<std::uint64_t> volume;
  std::optional<std::uint64_t> inode;         // the file's metadata address
  bool deleted = false;                       // its name or its metadata is unallocated
  std::optional<std::uint64_t> carvedAt;      // a carved bitmap's first byte in the image
  std::optional<std::uint64_t> carvedLength;  // and the length of the window analysed
  // Where the content lies in the image, run by run, where that can be told.
  std::vector<disk_image::ByteRun> byteRuns;
  std::optional<std::uint64_t> fileSize;  // of an analysed file's content
  DigestValues hashes;                    // the digests taken, empty where not
  disk_image::FileTimes times;            // as the file system keeps them
  bool nameUnallocated = false;           // in an image: its name is deleted
  bool metaUnallocated = false;           // in an image: its metadata is unallocated
  std::uint32_t partition = 0;            // in an image: its file system's number, from 1
  // With a payload, where the report shows carriers: their pictures.
  CarrierPictures pictures;
  // For a member of a container: the containers it lies in, from the
  // outermost (the file the other fields name) in. Empty for a file.
  std::vector<ContainerHop> within;
  // Set by the scan of a file that is a container (its format), whose
  // members are read in a container child; the record itself is not
  // written.
  std::string containerFormat;
  // For a container in a disk image: the file as disk_image::fileRefText
  // gives it, by which the container child opens it in the image.
  std::string imageFile;

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
    image.reset();
    fsOffset.reset();
    fsType.clear();
    volume.reset();
    inode.reset();
    deleted = false;
    carvedAt.reset();
    carvedLength.reset();
    byteRuns.clear();
    fileSize.reset();
    for (std::string& digest : hashes) digest.clear();
    times = disk_image::FileTimes{};
    nameUnallocated = metaUnallocated = false;
    partition = 0;
    pictures.clear();
    within.clear();
    containerFormat.clear();
    imageFile.clear();
  }

  // True when the record's bytes came from a disk image.
  bool inImage() const { return image.has_value(); }
};

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_SCAN_RECORD_H_

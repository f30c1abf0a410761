#ifndef QUILLMARK_DISK_IMAGE_IMAGE_ENTRY_H_
#define QUILLMARK_DISK_IMAGE_IMAGE_ENTRY_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quillmark::disk_image {

// A moment as a file system records it: seconds since 1970 in UTC, and
// nanoseconds where the file system keeps them.
struct Timestamp {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

// The times a file system keeps for a file; a time it does not keep (or
// keeps as zero) is absent.
struct FileTimes {
  std::optional<Timestamp> modified;  // content last written (mtime)
  std::optional<Timestamp> accessed;  // content last read (atime)
  std::optional<Timestamp> changed;   // metadata last changed (ctime)
  std::optional<Timestamp> created;   // created (crtime)
};

// A span of a file's content and where it lies in the image: the bytes
// [fileOffset, fileOffset + length) of the file are the bytes
// [imageOffset, imageOffset + length) of the image.
struct ByteRun {
  std::uint64_t fileOffset = 0;
  std::uint64_t imageOffset = 0;
  std::uint64_t length = 0;
};

// Where a file's bytes live inside a disk image, precisely enough for any
// thread to open the same file again, and for an examiner to extract the
// same bytes with other tools (The Sleuth Kit's icat IMAGE -o SECTOR INODE,
// with -B BLOCK for a volume of an APFS container).
struct FileRef {
  std::size_t image = 0;       // index of the image among those scanned
  std::uint64_t fsOffset = 0;  // byte offset of the file system (or its container) in the image
  // In a pool of volumes (an APFS container at fsOffset): the block of the
  // volume's superblock in the container, which names the volume; 0 where
  // the file system is not in a pool.
  std::uint64_t poolVolume = 0;
  std::uint32_t partition = 0;  // the file system's number in the image, from 1

  const char* fsType = "";     // the file system's type in lower case: "ext4", "fat16", ...
  std::uint32_t fsTypeId = 0;  // the same, as the library numbers it
  std::uint64_t inode = 0;     // the file's metadata address in the file system
  bool namedStream = false;    // an NTFS named data stream rather than the file's data
  std::uint32_t attrType = 0;  // with namedStream: the stream's attribute type and id
  std::uint16_t attrId = 0;
  bool nameUnallocated = false;  // the name that led here is deleted
  bool metaUnallocated = false;  // the metadata is unallocated
  // A window carved out of unallocated space rather than a file: its first
  // byte in the image and its length (the file size its header states, or
  // up to the end of the unallocated run, whichever comes first).
  bool carved = false;
  std::uint64_t windowStart = 0;
  std::uint64_t windowLength = 0;

  // Deleted: the name or the metadata is unallocated.
  bool deleted() const { return nameUnallocated || metaUnallocated; }
};

// One thing the walk of a disk image found: a file to analyse, or a part of
// the image that holds no file to analyse, and why.
struct ImageEntry {
  enum class Kind {
    kFile,               // a regular file, or an NTFS named data stream: `path`, `file`
    kImageError,         // the image cannot be opened, is empty, or cannot be read whole
    kNothingRecognised,  // neither a volume system nor a file system the library knows
    kVolumeSystemError,  // a partition table the library rejects
    kNoFileSystem,       // a partition with no file system the library recognises
    kEncryptedVolume,    // a volume of a pool that is encrypted, and not read
    kFileSystemError,    // a file system that cannot be opened or walked, or is cut short
    kCarved,             // a bitmap's header in unallocated space: `file` holds its window
  };

  Kind kind = Kind::kFile;
  // kFile: the path from the file system's root, "/dir/name", with
  // ":stream" after a named stream.
  std::string path;
  // kFile: where it lives. For the partition, volume and file system kinds,
  // its image and fsOffset (and fsType and poolVolume, once known) say which.
  FileRef file;
  bool hasOffset = false;  // `file.fsOffset` means something
  std::string detail;      // for the other kinds: what went wrong, as the library said
};

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_IMAGE_ENTRY_H_

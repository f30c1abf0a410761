#ifndef QUILLMARK_DISK_IMAGE_DISK_IMAGE_H_
#define QUILLMARK_DISK_IMAGE_DISK_IMAGE_H_

#include <tsk/libtsk.h>

#include <cstdint>
#include <string>

namespace quillmark::disk_image {

// A disk image opened read-only through The Sleuth Kit: a raw dump or a
// split raw set, an Expert Witness (E01) set, a VMDK, VHD or VHDX virtual
// disk, an AFF file or a QCOW image, its format detected. Naming the first
// segment of a set opens the whole set. An E01 set is read through libewf by
// this program itself, so that a missing segment or a chunk that fails its
// checksum is a read error, never zeros (libewf hands back zeros for both
// and only notes them); a QCOW image through libqcow, with its backing
// files. A format that no library here reads (VDI, DMG, Parallels, ...) is
// recognised by its signature and refused as such, never read as raw bytes.
// Nothing is ever written to the image.
class DiskImage {
 public:
  DiskImage() = default;
  ~DiskImage() { close(); }
  DiskImage(const DiskImage&) = delete;
  DiskImage& operator=(const DiskImage&) = delete;

  // Opens the image at `path`, closing what was open before. Returns false
  // with `error` set when it cannot be opened; unsupportedFormat() then says
  // whether that is because this build reads no image of its format.
  bool open(const std::string& path, std::string& error);
  void close();

  bool unsupportedFormat() const { return unsupported_; }

  TSK_IMG_INFO* info() const { return image_; }
  std::uint64_t size() const { return static_cast<std::uint64_t>(image_->size); }

 private:
  TSK_IMG_INFO* image_ = nullptr;
  bool unsupported_ = false;
};

// Tells whether any read of a disk image that this thread made since the
// watch was set failed, and how. The library gives up on bytes it could not
// read as it does on bytes that hold no file system, and says so in the same
// words; only the reads themselves tell the two apart: a missing segment, a
// chunk that fails its checksum, an I/O error on a device.
class ReadFailureWatch {
 public:
  ReadFailureWatch();

  bool failed() const;
  // What the last failed read said, with where it was: "cannot read 65536
  // bytes at byte 27262976: ...".
  std::string what() const;

 private:
  std::uint64_t failuresBefore_;
};

// `what` failed, followed by what The Sleuth Kit's last failed call on this
// thread said, if it said anything; clears it. "cannot read: Offset is too
// large for image".
std::string describeFailure(const std::string& what);

// The last line of `stacked`, trailing blanks dropped: libewf and libqcow
// print an error as a stack of messages, one per line, the last the closest
// to the cause.
std::string closestCause(const std::string& stacked);

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_DISK_IMAGE_H_

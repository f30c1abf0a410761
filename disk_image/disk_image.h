#ifndef QUILLMARK_DISK_IMAGE_DISK_IMAGE_H_
#define QUILLMARK_DISK_IMAGE_DISK_IMAGE_H_

#include <tsk/libtsk.h>

#include <cstdint>
#include <string>

namespace quillmark::disk_image {

// A disk image opened read-only through The Sleuth Kit: a raw dump or a
// split raw set, an Expert Witness (E01) set, a VMDK or VHD virtual disk or
// an AFF file, its format detected. Naming the first segment of a set opens
// the whole set. An E01 set is read through libewf by this program itself,
// so that a missing segment or a chunk that fails its checksum is a read
// error, never zeros (libewf hands back zeros for both and only notes them).
// Nothing is ever written to the image.
class DiskImage {
 public:
  DiskImage() = default;
  ~DiskImage() { close(); }
  DiskImage(const DiskImage&) = delete;
  DiskImage& operator=(const DiskImage&) = delete;

  // Opens the image at `path`, closing what was open before. Returns false
  // with `error` set when it cannot be opened.
  bool open(const std::string& path, std::string& error);
  void close();

  TSK_IMG_INFO* info() const { return image_; }
  std::uint64_t size() const { return static_cast<std::uint64_t>(image_->size); }

 private:
  TSK_IMG_INFO* image_ = nullptr;
};

// `what` failed, followed by what The Sleuth Kit's last failed call on this
// thread said, if it said anything; clears it. "cannot read: Offset is too
// large for image".
std::string describeFailure(const std::string& what);

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_DISK_IMAGE_H_

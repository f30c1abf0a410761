#include "disk_image/disk_image.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "disk_image/ewf_image.h"

namespace quillmark::disk_image {

std::string describeFailure(const std::string& what) {
  const char* const said = tsk_error_get();
  std::string failure = what;
  if (said != nullptr && *said != '\0') failure.append(": ").append(said);
  tsk_error_reset();
  return failure;
}

bool DiskImage::open(const std::string& path, std::string& error) {
  close();
  // Only a file or a device holds an image; opening a FIFO would wait for a
  // writer, possibly for ever.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode) && !S_ISCHR(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? "a directory, not a disk image" : "not a file or a device";
    return false;
  }
  tsk_error_reset();
  if (isEwfImage(path)) {
    image_ = openEwfImage(path, error);
    return image_ != nullptr;
  }
  image_ = tsk_img_open_utf8_sing(path.c_str(), TSK_IMG_TYPE_DETECT, 0);
  if (image_ == nullptr) error = describeFailure("not an image the library reads");
  return image_ != nullptr;
}

void DiskImage::close() {
  if (image_ != nullptr) tsk_img_close(image_);
  image_ = nullptr;
}

}  // namespace quillmark::disk_image

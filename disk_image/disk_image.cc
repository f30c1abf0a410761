#include "disk_image/disk_image.h"

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "disk_image/ewf_image.h"
#include "disk_image/image_format.h"
#include "disk_image/library_progress.h"
#include "disk_image/qcow_image.h"

namespace quillmark::disk_image {

namespace {

using ReadFunction = ssize_t (*)(TSK_IMG_INFO*, TSK_OFF_T, char*, size_t);

std::atomic<std::uint64_t> gReads{0};
// The library's own read function for each image format, by the bit that
// stands for the format.
std::array<std::atomic<ReadFunction>, 32> gFormatReads{};

std::size_t formatIndex(TSK_IMG_TYPE_ENUM type) {
  const auto bits = static_cast<std::uint32_t>(type);
  return bits == 0 ? 31 : static_cast<std::size_t>(__builtin_ctz(bits)) % 32;
}

// How many reads of this thread failed, and what the last of them said.
thread_local std::uint64_t tFailedReads = 0;
thread_local std::string tLastFailure;

// Counts the read, then reads as the format does; notes a failure.
ssize_t countingRead(TSK_IMG_INFO* image, TSK_OFF_T offset, char* into, size_t length) {
  gReads.fetch_add(1, std::memory_order_relaxed);
  const ssize_t got = gFormatReads[formatIndex(image->itype)].load()(image, offset, into, length);
  if (got < 0) {
    ++tFailedReads;
    const char* const said = tsk_error_get();
    tLastFailure =
        "cannot read " + std::to_string(length) + " bytes at byte " + std::to_string(offset);
    if (said != nullptr && *said != '\0') tLastFailure.append(": ").append(said);
  }
  return got;
}

// The format the library found in the image opened last, by the file's
// identity. Every thread that reads files opens an image of its own, and the
// library's detection tries each format in turn, each with a cache of its own
// to allocate and clear: the threads after the first open it as what it is.
struct DetectedFormat {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  TSK_IMG_TYPE_ENUM type = TSK_IMG_TYPE_DETECT;
};
std::mutex gDetectedMutex;
DetectedFormat gDetected;

TSK_IMG_TYPE_ENUM knownFormat(const struct stat& info) {
  const std::lock_guard<std::mutex> lock(gDetectedMutex);
  const bool same = gDetected.device == info.st_dev && gDetected.inode == info.st_ino &&
                    gDetected.size == info.st_size;
  return same ? gDetected.type : TSK_IMG_TYPE_DETECT;
}

void rememberFormat(const struct stat& info, TSK_IMG_TYPE_ENUM type) {
  const std::lock_guard<std::mutex> lock(gDetectedMutex);
  gDetected = {info.st_dev, info.st_ino, info.st_size, type};
}

}  // namespace

std::uint64_t libraryReadsSoFar() { return gReads.load(std::memory_order_relaxed); }

std::string describeFailure(const std::string& what) {
  const char* const said = tsk_error_get();
  std::string failure = what;
  if (said != nullptr && *said != '\0') failure.append(": ").append(said);
  tsk_error_reset();
  return failure;
}

std::string closestCause(const std::string& stacked) {
  std::string message = stacked;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  const std::size_t line = message.rfind('\n');
  return line == std::string::npos ? message : message.substr(line + 1);
}

ReadFailureWatch::ReadFailureWatch() : failuresBefore_(tFailedReads) {}

bool ReadFailureWatch::failed() const { return tFailedReads != failuresBefore_; }

std::string ReadFailureWatch::what() const { return failed() ? tLastFailure : std::string(); }

bool DiskImage::open(const std::string& path, std::string& error) {
  close();
  unsupported_ = false;
  const ImageFormat format = imageFormatOf(path);
  if (format != ImageFormat::kOther && format != ImageFormat::kQcow) {
    error = unsupportedFormatError(format);
    unsupported_ = true;
    return false;
  }
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
  if (format == ImageFormat::kQcow) {
    unsupported_ = !qcowImagesSupported();
    image_ = openQcowImage(path, error);
  } else if (isEwfImage(path)) {
    image_ = openEwfImage(path, error);
  } else {
    const TSK_IMG_TYPE_ENUM known = knownFormat(info);
    if (known != TSK_IMG_TYPE_DETECT) image_ = tsk_img_open_utf8_sing(path.c_str(), known, 0);
    if (image_ == nullptr) {
      tsk_error_reset();
      image_ = tsk_img_open_utf8_sing(path.c_str(), TSK_IMG_TYPE_DETECT, 0);
    }
    if (image_ == nullptr) error = describeFailure("not an image the library reads");
    if (image_ != nullptr && known == TSK_IMG_TYPE_DETECT) rememberFormat(info, image_->itype);
  }
  if (image_ == nullptr) return false;
  // Every read the library makes of the image goes through its read
  // function; counting them tells a watchdog that the library is at work.
  gFormatReads[formatIndex(image_->itype)].store(image_->read);
  image_->read = countingRead;
  return true;
}

void DiskImage::close() {
  if (image_ != nullptr) tsk_img_close(image_);
  image_ = nullptr;
}

}  // namespace quillmark::disk_image

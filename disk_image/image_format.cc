#include "disk_image/image_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace quillmark::disk_image {

namespace {

using namespace std::string_view_literals;

constexpr std::size_t kProbe = 512;

bool startsWith(const unsigned char* bytes, std::size_t length, std::size_t at,
                std::string_view text) {
  return length >= at + text.size() && std::memcmp(bytes + at, text.data(), text.size()) == 0;
}

bool isFile(const std::string& path, bool folder) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 &&
         (folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode));
}

// Reads up to `length` bytes at `offset`; the count read, 0 on failure.
std::size_t readAt(int fd, unsigned char* into, std::size_t length, off_t offset) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, into + got, length - got, offset + static_cast<off_t>(got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

ImageFormat imageFormatOf(const unsigned char* start, std::size_t startLength,
                          const unsigned char* end, std::size_t endLength) {
  if (startsWith(start, startLength, 0, "QFI\xfb"sv)) return ImageFormat::kQcow;
  if (startsWith(start, startLength, 0, "QED\0"sv)) return ImageFormat::kQed;
  if (startsWith(start, startLength, 0, "WithoutFreeSpace"sv) ||
      startsWith(start, startLength, 0, "WithouFreSpacExt"sv)) {
    return ImageFormat::kParallels;
  }
  if (startsWith(start, startLength, 0, "sprs"sv)) return ImageFormat::kSparseImage;
  if (startsWith(start, startLength, 64, "\x7f\x10\xda\xbe"sv)) return ImageFormat::kVdi;
  // The UDIF trailer is the image's last 512 bytes.
  if (endLength == kProbe && startsWith(end, endLength, 0, "koly"sv)) return ImageFormat::kDmg;
  return ImageFormat::kOther;
}

ImageFormat imageFormatOf(const std::string& path) {
  if (isFile(path, true)) {
    const bool bundle = isFile(path + "/bands", true) && (isFile(path + "/Info.plist", false) ||
                                                          isFile(path + "/Info.bckup", false));
    return bundle ? ImageFormat::kSparseBundle : ImageFormat::kOther;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ImageFormat::kOther;
  unsigned char start[kProbe] = {};
  unsigned char end[kProbe] = {};
  const std::size_t startLength = readAt(fd, start, kProbe, 0);
  const off_t size = ::lseek(fd, 0, SEEK_END);
  const std::size_t endLength = size >= static_cast<off_t>(kProbe)
                                    ? readAt(fd, end, kProbe, size - static_cast<off_t>(kProbe))
                                    : 0;
  ::close(fd);
  return imageFormatOf(start, startLength, end, endLength);
}

const char* imageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kQcow:
      return "QCOW";
    case ImageFormat::kVdi:
      return "VDI";
    case ImageFormat::kDmg:
      return "DMG (UDIF)";
    case ImageFormat::kSparseImage:
      return "sparse image";
    case ImageFormat::kSparseBundle:
      return "sparse bundle";
    case ImageFormat::kParallels:
      return "Parallels";
    case ImageFormat::kQed:
      return "QED";
    case ImageFormat::kOther:
      break;
  }
  return "raw";
}

std::string unsupportedFormatError(ImageFormat format) {
  std::string error = "unsupported image format: ";
  error += imageFormatName(format);
  switch (format) {
    case ImageFormat::kQcow:
      return error +
             " (this build has no libqcow; convert it to a raw image with qemu-img convert -O raw, "
             "then scan that)";
    case ImageFormat::kDmg:
    case ImageFormat::kSparseImage:
      return error +
             " (convert it to a raw image with hdiutil convert -format UDTO, or dmg2img, "
             "then scan that)";
    case ImageFormat::kSparseBundle:
      return error +
             " (convert it to a raw image with hdiutil convert -format UDTO, then scan that)";
    default:
      return error + " (convert it to a raw image with qemu-img convert -O raw, then scan that)";
  }
}

}  // namespace quillmark::disk_image

#ifndef QUILLMARK_DISK_IMAGE_IMAGE_FORMAT_H_
#define QUILLMARK_DISK_IMAGE_IMAGE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillmark::disk_image {

// The container formats of disk images that are told apart by their
// signatures before The Sleuth Kit is asked: those read by a library of
// their own, and those no library of this program reads. The library's own
// detection falls back on reading any file as a raw dump, so a format it does
// not know would otherwise be walked as raw bytes and reported as a disk
// without a file system.
enum class ImageFormat {
  kOther,         // left to the library's detection: raw, split, VMDK, VHD, VHDX, AFF, E01
  kQcow,          // QEMU copy-on-write (versions 1 to 3), "QFI\xfb"
  kVdi,           // VirtualBox, 0xbeda107f at byte 64
  kDmg,           // Apple UDIF: a "koly" trailer in the last 512 bytes
  kSparseImage,   // Apple sparse image, "sprs"
  kSparseBundle,  // Apple sparse bundle: a folder of bands with an Info.plist
  kParallels,     // Parallels, "WithoutFreeSpace" or "WithouFreSpacExt"
  kQed,           // QEMU enhanced disk, "QED\0"
};

// The format that the first and the last bytes of an image show.
// `start` holds the image's first `startLength` bytes and `end` its last
// `endLength` bytes (the same bytes for a short image); either may be
// shorter than a sector.
ImageFormat imageFormatOf(const unsigned char* start, std::size_t startLength,
                          const unsigned char* end, std::size_t endLength);

// The format of the image at `path`, which may be a folder (a sparse bundle);
// kOther when it cannot be read, so that opening it says why.
ImageFormat imageFormatOf(const std::string& path);

// The format's name as an examiner knows it: "QCOW", "VDI", "DMG (UDIF)".
const char* imageFormatName(ImageFormat format);

// Why an image of `format` is not read, and the conversion that makes it
// readable: "unsupported image format: VDI (convert it to a raw image with
// qemu-img convert -O raw, then scan that)". Only for formats this build
// does not read.
std::string unsupportedFormatError(ImageFormat format);

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_IMAGE_FORMAT_H_

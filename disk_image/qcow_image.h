#ifndef QUILLMARK_DISK_IMAGE_QCOW_IMAGE_H_
#define QUILLMARK_DISK_IMAGE_QCOW_IMAGE_H_

#include <tsk/libtsk.h>

#include <string>

namespace quillmark::disk_image {

// True when this build reads QCOW images (it was built with libqcow).
bool qcowImagesSupported();

// The version of libqcow this build reads QCOW images with; empty without.
std::string qcowLibraryVersion();

// Opens the QCOW image (versions 1 to 3, compressed clusters included) at
// `path` through libqcow, read-only, as an image The Sleuth Kit reads like
// any other. A backing file is opened in turn, as QEMU finds it: its name
// as the image records it, relative to the image's folder; a chain of them
// too. Returns nullptr with `error` set when the image or a backing file
// cannot be opened (a missing backing file is named), or is encrypted.
// Close the image with tsk_img_close. Each call opens handles of its own,
// so that each thread reads through its own.
TSK_IMG_INFO* openQcowImage(const std::string& path, std::string& error);

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_QCOW_IMAGE_H_

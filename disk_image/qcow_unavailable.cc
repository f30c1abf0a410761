// Stands in for the QCOW reader in a build without libqcow: a QCOW image is
// then named as a format this build cannot read, never walked as raw bytes.

#include "disk_image/image_format.h"
#include "disk_image/qcow_image.h"

namespace quillmark::disk_image {

bool qcowImagesSupported() { return false; }

std::string qcowLibraryVersion() { return ""; }

TSK_IMG_INFO* openQcowImage(const std::string&, std::string& error) {
  error = unsupportedFormatError(ImageFormat::kQcow);
  return nullptr;
}

}  // namespace quillmark::disk_image

#ifndef QUILLMARK_DISK_IMAGE_EWF_IMAGE_H_
#define QUILLMARK_DISK_IMAGE_EWF_IMAGE_H_

#include <tsk/libtsk.h>

#include <string>

namespace quillmark::disk_image {

// True when `path` begins with the Expert Witness signature.
bool isEwfImage(const std::string& path);

// Opens the Expert Witness set whose first segment is `path` through
// libewf, read-only, as an image The Sleuth Kit reads like any other. A read
// that touches a chunk libewf could not verify (its checksum fails, or its
// segment is missing: libewf hands both back as zeros and only notes them)
// fails, so that no verdict is ever drawn from invented bytes. Returns
// nullptr with `error` set when the set cannot be opened; close the image
// with tsk_img_close.
TSK_IMG_INFO* openEwfImage(const std::string& path, std::string& error);

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_EWF_IMAGE_H_

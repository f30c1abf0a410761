#ifndef QUILLMARK_DISK_IMAGE_FILE_REF_TEXT_H_
#define QUILLMARK_DISK_IMAGE_FILE_REF_TEXT_H_

#include <string>
#include <string_view>

#include "disk_image/image_entry.h"

namespace quillmark::disk_image {

// A FileRef of a file (not a carved window) as one line of text, by which a
// child process given the same image opens the same file again:
// "FSOFFSET:POOLVOLUME:FSTYPEID:INODE:FLAGS:ATTRTYPE:ATTRID", numbers in
// decimal, FLAGS a sum of 1 (named stream), 2 (name unallocated) and 4
// (metadata unallocated). The image's index and the file system's type name
// are not carried: the child has one image, and opens by the type's id.
std::string fileRefText(const FileRef& ref);

// Reads what fileRefText wrote into `ref` (image 0). Returns false, with
// `ref` unspecified, for any other text.
bool parseFileRef(std::string_view text, FileRef& ref);

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_FILE_REF_TEXT_H_

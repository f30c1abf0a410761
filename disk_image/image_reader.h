#ifndef QUILLMARK_DISK_IMAGE_IMAGE_READER_H_
#define QUILLMARK_DISK_IMAGE_IMAGE_READER_H_

#include <memory>
#include <string>
#include <vector>

#include "analysis/content_source.h"
#include "disk_image/image_entry.h"

namespace quillmark::disk_image {

// Reads files out of disk images for one thread: it keeps that thread's own
// handles on the image and the file systems in use, since reads through one
// handle of the library serialise (and libewf's handles may not be shared at
// all). Images are taken in the order they are scanned, so a handle on an
// earlier image is closed when a later one is opened.
//
// A window carved out of unallocated space is read from the image itself.
//
// A deleted file is read only where its bytes are still its own: every
// block that a read touches must be unallocated, and known. The library
// itself reads a deleted file's old block list without looking, so a file
// whose blocks went to another file would otherwise show that file's bytes.
class ImageReader {
 public:
  enum class Problem {
    kNone,
    kUnreadable,     // the image, the file system or the file cannot be read
    kOverwritten,    // deleted, and its blocks now belong to another file
    kUnrecoverable,  // deleted, and where its bytes were is no longer known
  };

  // `images` names the images by index; it must outlive the reader.
  explicit ImageReader(const std::vector<std::string>& images);
  ~ImageReader();
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  // The content of the file (or named stream) that `ref` names, valid until
  // the next open; nullptr when it cannot be opened, with problem() and
  // detail() telling why. A failed read of the content sets them too.
  ContentSource* open(const FileRef& ref);

  Problem problem() const;
  const std::string& detail() const;
  // Where the content that open returned lies in the image, in the order of
  // the content; empty where that cannot be told (resident, compressed).
  const std::vector<ByteRun>& byteRuns() const;
  // The times the file system keeps for the file that open returned.
  const FileTimes& times() const;

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_IMAGE_READER_H_

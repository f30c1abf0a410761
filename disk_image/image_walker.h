#ifndef QUILLMARK_DISK_IMAGE_IMAGE_WALKER_H_
#define QUILLMARK_DISK_IMAGE_IMAGE_WALKER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "disk_image/image_entry.h"

namespace quillmark::disk_image {

// Walks a disk image as The Sleuth Kit reads it, without mounting it and
// without writing to it: the volume system (DOS with extended partitions,
// GPT, and the others the library reads) and every file system in it, or a
// file system at offset 0 when there is no volume system. In each file
// system every regular file is found, allocated, deleted with its name left
// in a directory, or orphaned, and on NTFS also every named data stream.
// The library's virtual entries ($MBR, $FAT1, $FAT2, the $OrphanFiles folder
// itself) and FAT volume labels are not files and are passed over.
//
// The order depends only on the image: partitions in table order, the
// entries of each directory as the file system stores them, then, when
// carving, the bitmaps carved out of its free space. Parts of the image that
// cannot be read or hold nothing the library recognises are entries too, and
// the walk goes on past them.

class ImageWalker {
 public:
  // Receives each entry in walk order; returns false to end the walk.
  using Sink = std::function<bool(ImageEntry&)>;

  // What walks have opened and tried so far; other threads may read it as
  // it grows.
  struct Tally {
    std::atomic<std::uint64_t> images{0};
    std::atomic<std::uint64_t> fileSystems{0};
    std::atomic<std::uint64_t> carvePositions{0};   // 512-byte boundaries tried
    std::atomic<std::uint64_t> carveCandidates{0};  // of them, the starts of bitmaps
  };

  struct Settings {
    // Also carve: try every 512-byte boundary of the unallocated blocks of
    // each file system, of the space outside the partitions, of partitions
    // without a file system the library recognises, and of an image with
    // neither a volume system nor a file system, for the start of a bitmap.
    bool carve = false;
  };

  // Counts what it opens into `tally`, when given.
  explicit ImageWalker(Tally* tally = nullptr) : tally_(tally) {}
  ImageWalker(Tally* tally, Settings settings) : tally_(tally), settings_(settings) {}

  // Walks the image at `path`, numbered `index` in the entries' FileRef.
  // Returns false when `sink` ended the walk.
  bool walk(std::size_t index, const std::string& path, const Sink& sink);

 private:
  struct Walk;  // the state of one walk, where the library's types live

  Tally* tally_;
  Settings settings_{};
};

// True when this build reads disk images (it was built with The Sleuth Kit).
bool diskImagesSupported();

// The libraries that read disk images and their versions, as they report
// them; empty in a build that reads none.
std::vector<std::pair<std::string, std::string>> libraryVersions();

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_IMAGE_WALKER_H_

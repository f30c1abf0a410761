#ifndef QUILLMARK_DISK_IMAGE_FREE_SPACE_CARVER_H_
#define QUILLMARK_DISK_IMAGE_FREE_SPACE_CARVER_H_

#include <tsk/libtsk.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "analysis/page_aligned_buffer.h"

namespace quillmark::disk_image {

// Looks for the starts of bitmaps in unallocated space, trying every
// 512-byte boundary with bitmapCandidateSize, on a thread of its own and
// through a handle on the image of its own: the free space of a file system
// is read while the walk hands out that file system's files, instead of
// after them. What it finds waits, in the order of the image, in a queue of
// bounded length until the walk takes it; when the queue is full the
// carving waits.
//
// A region is read once, in large reads. A bitmap's window is the file size
// its header states, or up to the end of the region, whichever comes first
// (a carved file is taken to be contiguous).
class FreeSpaceCarver {
 public:
  // What the carving found: the start of a bitmap, or a part it could not
  // read.
  struct Found {
    enum class Kind {
      kCandidate,        // [start, start + length) of the image may be a bitmap
      kImageError,       // the image could not be opened or read: `detail`
      kFileSystemError,  // the file system's free blocks could not be listed
    };
    Kind kind = Kind::kCandidate;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::string detail;
  };

  // Counts of what the carving tried, which other threads may read.
  struct Counts {
    std::atomic<std::uint64_t>* positions = nullptr;   // 512-byte boundaries tried
    std::atomic<std::uint64_t>* candidates = nullptr;  // of them, starts of bitmaps
  };

  explicit FreeSpaceCarver(Counts counts) : counts_(counts) {}
  ~FreeSpaceCarver() { stop(); }
  FreeSpaceCarver(const FreeSpaceCarver&) = delete;
  FreeSpaceCarver& operator=(const FreeSpaceCarver&) = delete;

  // Starts carving the unallocated blocks of the file system of type `type`
  // at byte `fsOffset` of the image at `path`, one run of adjoining blocks
  // after the other, as the library's block walk lists them. Stops what was
  // started before.
  void startFreeBlocks(const std::string& path, std::uint64_t fsOffset, TSK_FS_TYPE_ENUM type);

  // A span [start, end) of the image.
  struct Region {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
  };

  // Starts carving [start, end) of the image at `path`, space that lies in
  // no file system. Stops what was started before.
  void startRegion(const std::string& path, std::uint64_t start, std::uint64_t end);

  // Starts carving each of `regions` of the image at `path` in turn: the
  // free space of a pool of volumes, as the library lists it. Stops what was
  // started before.
  void startRegions(const std::string& path, std::vector<Region> regions);

  // Waits for the next thing found and moves it into `found`; false once the
  // carving has ended and all it found was taken, or it was stopped.
  bool next(Found& found);

  // Ends the carving early, and waits for its thread.
  void stop();

 private:
  struct Job {
    std::string path;
    bool freeBlocks = false;
    std::uint64_t fsOffset = 0;
    TSK_FS_TYPE_ENUM fsType = TSK_FS_TYPE_DETECT;
    std::vector<Region> regions;
  };

  void start(Job job);
  void run(const Job& job);
  // Carves [start, end) of the image; false when stopped.
  bool carveRegion(std::uint64_t start, std::uint64_t end);
  // After a failed read of [at, at + length) into the buffer: reads it again
  // in smaller pieces, zeroing those that cannot be read, and reports each
  // run of them as one error. Sets `readable` to the bytes read; false when
  // stopped.
  bool readInPieces(std::uint64_t at, std::uint64_t length, std::uint64_t& readable);
  static TSK_WALK_RET_ENUM freeBlock(const TSK_FS_BLOCK* block, void* self);
  // Queues `found`, waiting while the queue is full; false when stopped.
  bool put(Found found);

  Counts counts_;
  std::thread thread_;

  // The carving thread's own state.
  PageAlignedBuffer buffer_;
  std::uint64_t imageSize_ = 0;
  std::uint64_t runStart_ = 0;
  std::uint64_t runEnd_ = 0;
  std::uint64_t fsOffset_ = 0;
  std::uint64_t blockSize_ = 0;
  TSK_IMG_INFO* image_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Found> queue_;
  bool done_ = true;
  bool stopping_ = false;
};

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_FREE_SPACE_CARVER_H_

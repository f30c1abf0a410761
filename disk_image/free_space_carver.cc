#include "disk_image/free_space_carver.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "bitmap/bitmap_candidate.h"
#include "disk_image/disk_image.h"

namespace quillmark::disk_image {

namespace {

constexpr std::uint64_t kSector = 512;
// Free space is read in pieces of this size; a piece that cannot be read
// whole is read again in pieces of the smaller size, so that one bad chunk
// of an image (an E01 chunk is 32 KiB) costs only its own bytes.
constexpr std::size_t kCarveRead = std::size_t{4} << 20;
constexpr std::size_t kRetryRead = std::size_t{64} << 10;
// Found starts that may wait for the walk; a carving that finds more waits.
constexpr std::size_t kMaxQueued = 4096;

}  // namespace

void FreeSpaceCarver::startFreeBlocks(const std::string& path, std::uint64_t fsOffset,
                                      TSK_FS_TYPE_ENUM type) {
  Job job;
  job.path = path;
  job.freeBlocks = true;
  job.fsOffset = fsOffset;
  job.fsType = type;
  start(std::move(job));
}

void FreeSpaceCarver::startRegion(const std::string& path, std::uint64_t start, std::uint64_t end) {
  startRegions(path, {Region{start, end}});
}

void FreeSpaceCarver::startRegions(const std::string& path, std::vector<Region> regions) {
  Job job;
  job.path = path;
  job.regions = std::move(regions);
  start(std::move(job));
}

void FreeSpaceCarver::start(Job job) {
  stop();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
    done_ = false;
    stopping_ = false;
  }
  thread_ = std::thread([this, job = std::move(job)] { run(job); });
}

bool FreeSpaceCarver::next(Found& found) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !queue_.empty() || done_ || stopping_; });
  if (queue_.empty() || stopping_) return false;
  found = std::move(queue_.front());
  queue_.pop_front();
  changed_.notify_all();
  return true;
}

void FreeSpaceCarver::stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool FreeSpaceCarver::put(Found found) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queue_.size() < kMaxQueued || stopping_; });
  if (stopping_) return false;
  queue_.push_back(std::move(found));
  changed_.notify_all();
  return true;
}

void FreeSpaceCarver::run(const Job& job) {
  DiskImage image;
  std::string error;
  const bool opened = image.open(job.path, error);
  if (!opened || buffer_.reserve(kCarveRead) == nullptr) {
    Found found;
    found.kind = Found::Kind::kImageError;
    found.detail =
        "cannot open image to carve it: " + (opened ? std::string("out of memory") : error);
    put(std::move(found));
  } else {
    image_ = image.info();
    imageSize_ = image.size();
    if (!job.freeBlocks) {
      for (const Region& region : job.regions) {
        if (!carveRegion(region.start, region.end)) break;
      }
    } else {
      tsk_error_reset();
      TSK_FS_INFO* const fs =
          tsk_fs_open_img(image_, static_cast<TSK_OFF_T>(job.fsOffset), job.fsType);
      if (fs == nullptr) {
        Found found;
        found.kind = Found::Kind::kFileSystemError;
        found.detail = describeFailure("cannot open the file system to carve it");
        put(std::move(found));
      } else {
        fsOffset_ = job.fsOffset;
        blockSize_ = fs->block_size;
        runStart_ = runEnd_ = 0;
        const auto flags = static_cast<TSK_FS_BLOCK_WALK_FLAG_ENUM>(TSK_FS_BLOCK_WALK_FLAG_UNALLOC |
                                                                    TSK_FS_BLOCK_WALK_FLAG_AONLY);
        tsk_error_reset();
        const bool walked = tsk_fs_block_walk(fs, fs->first_block, fs->last_block_act, flags,
                                              &FreeSpaceCarver::freeBlock, this) == 0;
        bool carried = true;
        if (!walked) {
          Found found;
          found.kind = Found::Kind::kFileSystemError;
          found.detail = describeFailure("cannot walk the unallocated blocks");
          carried = put(std::move(found));
        }
        // The last run, which no later block ended.
        if (carried && runEnd_ > runStart_) carveRegion(runStart_, runEnd_);
        tsk_fs_close(fs);
      }
    }
    image_ = nullptr;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  changed_.notify_all();
}

TSK_WALK_RET_ENUM FreeSpaceCarver::freeBlock(const TSK_FS_BLOCK* block, void* self) {
  FreeSpaceCarver& carver = *static_cast<FreeSpaceCarver*>(self);
  const std::uint64_t at = carver.fsOffset_ + block->addr * carver.blockSize_;
  if (carver.runEnd_ > carver.runStart_ && at == carver.runEnd_) {
    carver.runEnd_ += carver.blockSize_;
    return TSK_WALK_CONT;
  }
  if (carver.runEnd_ > carver.runStart_ && !carver.carveRegion(carver.runStart_, carver.runEnd_)) {
    return TSK_WALK_STOP;
  }
  carver.runStart_ = at;
  carver.runEnd_ = at + carver.blockSize_;
  return TSK_WALK_CONT;
}

bool FreeSpaceCarver::readInPieces(std::uint64_t at, std::uint64_t length,
                                   std::uint64_t& readable) {
  readable = 0;
  std::uint64_t failedFrom = 0;
  std::string failure;  // of the run of unreadable pieces that began at failedFrom
  const auto reportFailure = [&](std::uint64_t until) {
    Found found;
    found.kind = Found::Kind::kImageError;
    found.detail.assign("cannot read unallocated space at byte ")
        .append(std::to_string(failedFrom))
        .append(" (")
        .append(std::to_string(until - failedFrom))
        .append(" bytes)")
        .append(failure);
    failure.clear();
    return put(std::move(found));
  };
  for (std::uint64_t piece = 0; piece < length; piece += kRetryRead) {
    const std::uint64_t size = std::min<std::uint64_t>(kRetryRead, length - piece);
    char* const into = buffer_.data() + piece;
    tsk_error_reset();
    if (tsk_img_read(image_, static_cast<TSK_OFF_T>(at + piece), into, size) ==
        static_cast<ssize_t>(size)) {
      readable += size;
      if (!failure.empty() && !reportFailure(at + piece)) return false;
      continue;
    }
    // Zeros hold no start of a bitmap: no position in the piece is tried.
    std::memset(into, 0, size);
    if (failure.empty()) {
      failedFrom = at + piece;
      failure = describeFailure("");
      if (failure.empty()) failure = ": the library gave no reason";
    }
  }
  tsk_error_reset();
  return failure.empty() || reportFailure(at + length);
}

bool FreeSpaceCarver::carveRegion(std::uint64_t start, std::uint64_t end) {
  end = std::min(end, imageSize_);
  start = (start + kSector - 1) / kSector * kSector;
  for (std::uint64_t at = start; at < end;) {
    const std::uint64_t length = std::min<std::uint64_t>(kCarveRead, end - at);
    tsk_error_reset();
    std::uint64_t readable = length;
    if (tsk_img_read(image_, static_cast<TSK_OFF_T>(at), buffer_.data(), length) !=
            static_cast<ssize_t>(length) &&
        !readInPieces(at, length, readable)) {
      return false;
    }
    if (counts_.positions != nullptr) *counts_.positions += (readable + kSector - 1) / kSector;
    const auto* const bytes = reinterpret_cast<const std::uint8_t*>(buffer_.data());
    for (std::uint64_t within = 0; within + kCandidateHeaderBytes <= length; within += kSector) {
      if (bytes[within] != 'B' || bytes[within + 1] != 'M') continue;
      const std::uint64_t size = bitmapCandidateSize(bytes + within, length - within);
      if (size == 0) continue;
      if (counts_.candidates != nullptr) ++*counts_.candidates;
      Found found;
      found.start = at + within;
      found.length = std::min(size, end - found.start);
      if (!put(std::move(found))) return false;
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return false;
    }
    at += length;
  }
  return true;
}

}  // namespace quillmark::disk_image

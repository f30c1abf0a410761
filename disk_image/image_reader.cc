#include "disk_image/image_reader.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "disk_image/disk_image.h"

namespace quillmark::disk_image {

namespace {

// A file system opened for reading, or why it could not be. A volume of a
// pool (APFS) is read through the pool and an image of the volume that the
// pool makes, which live as long as the file system.
struct OpenFileSystem {
  std::uint64_t offset = 0;
  std::uint64_t poolVolume = 0;
  const TSK_POOL_INFO* pool = nullptr;
  TSK_IMG_INFO* volumeImage = nullptr;
  TSK_FS_INFO* fs = nullptr;
  std::string error;

  void close() {
    if (fs != nullptr) tsk_fs_close(fs);
    if (volumeImage != nullptr) tsk_img_close(volumeImage);
    if (pool != nullptr) tsk_pool_close(pool);
    fs = nullptr;
    volumeImage = nullptr;
    pool = nullptr;
  }
};

// A library read's result as ContentSource::readAt returns it; a failure
// also sets `problem` and `detail`, in the library's words.
std::int64_t outcome(ssize_t got, ImageReader::Problem& problem, std::string& detail) {
  if (got >= 0) return got;
  problem = ImageReader::Problem::kUnreadable;
  detail = describeFailure("cannot read");
  return -1;
}

}  // namespace

// The content of one file, or of one of its named streams, read through the
// library. Reads of a deleted file first check the blocks they touch.
class ImageFile final : public ContentSource {
 public:
  explicit ImageFile(ImageReader::Problem& problem, std::string& detail)
      : problem_(problem), detail_(detail) {}

  void reset(TSK_FS_INFO* fs, const TSK_FS_ATTR* attr, std::uint64_t size, bool checkBlocks) {
    fs_ = fs;
    attr_ = attr;
    size_ = size;
    checkBlocks_ = checkBlocks;
  }

  std::uint64_t size() const override { return size_; }

  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (offset >= size_ || attr_ == nullptr) return 0;
    length = std::min(length, size_ - offset);
    if (checkBlocks_) {
      const ImageReader::Problem found = checkBlocks(offset, length);
      if (found != ImageReader::Problem::kNone) {
        problem_ = found;
        detail_.clear();
        return -1;
      }
    }
    // The library reads a length that is not a whole number of sectors
    // through a buffer of its own, zeroed and copied out: the whole sectors
    // therefore go straight into `into`, and only the tail takes that way.
    const std::uint64_t sector = fs_->img_info->sector_size > 0 ? fs_->img_info->sector_size : 512;
    const std::uint64_t tail = offset % sector == 0 && length > sector ? length % sector : 0;
    const std::int64_t head = readRun(offset, into, length - tail);
    if (head < 0 || tail == 0 || static_cast<std::uint64_t>(head) < length - tail) return head;
    const std::int64_t rest = readRun(offset + length - tail, into + (length - tail), tail);
    return rest < 0 ? rest : head + rest;
  }

 private:
  std::int64_t readRun(std::uint64_t offset, char* into, std::uint64_t length) {
    tsk_error_reset();
    return outcome(tsk_fs_attr_read(attr_, static_cast<TSK_OFF_T>(offset), into,
                                    static_cast<size_t>(length), TSK_FS_FILE_READ_FLAG_NONE),
                   problem_, detail_);
  }

  // Whether the bytes [offset, offset + length) of a deleted file are still
  // its own: every block of them known and unallocated. Sparse runs read as
  // zeros and are its own too. Resident content lives in the file's own
  // metadata entry. Where compression or encryption keeps offsets from
  // mapping to blocks, every block of the stream is checked.
  ImageReader::Problem checkBlocks(std::uint64_t offset, std::uint64_t length) const {
    if ((attr_->flags & TSK_FS_ATTR_NONRES) == 0) return ImageReader::Problem::kNone;
    const std::uint64_t blockSize = fs_->block_size;
    const bool everyBlock = (attr_->flags & (TSK_FS_ATTR_COMP | TSK_FS_ATTR_ENC)) != 0;
    std::uint64_t at = everyBlock ? 0 : offset;
    const std::uint64_t end =
        everyBlock ? std::numeric_limits<std::uint64_t>::max() : offset + length;
    bool overwritten = false;
    for (const TSK_FS_ATTR_RUN* run = attr_->nrd.run; run != nullptr && at < end; run = run->next) {
      const std::uint64_t runStart = run->offset * blockSize;
      const std::uint64_t runEnd = (run->offset + run->len) * blockSize;
      if (runEnd <= at) continue;
      if (runStart > at && !everyBlock) return ImageReader::Problem::kUnrecoverable;
      if ((run->flags & TSK_FS_ATTR_RUN_FLAG_FILLER) != 0) {
        return ImageReader::Problem::kUnrecoverable;
      }
      const std::uint64_t from = std::max(at, runStart);
      const std::uint64_t to = std::min(end, runEnd);
      if ((run->flags & TSK_FS_ATTR_RUN_FLAG_SPARSE) == 0) {
        for (std::uint64_t block = (from - runStart) / blockSize;
             block < (to - runStart + blockSize - 1) / blockSize; ++block) {
          const TSK_DADDR_T address = run->addr + block;
          if (address > fs_->last_block) return ImageReader::Problem::kUnrecoverable;
          if ((fs_->block_getflags(fs_, address) & TSK_FS_BLOCK_FLAG_ALLOC) != 0) {
            overwritten = true;
            break;
          }
        }
      }
      if (overwritten) break;
      at = to;
    }
    tsk_error_reset();
    if (overwritten) return ImageReader::Problem::kOverwritten;
    return at < end && !everyBlock ? ImageReader::Problem::kUnrecoverable
                                   : ImageReader::Problem::kNone;
  }

  ImageReader::Problem& problem_;
  std::string& detail_;
  TSK_FS_INFO* fs_ = nullptr;
  const TSK_FS_ATTR* attr_ = nullptr;
  std::uint64_t size_ = 0;
  bool checkBlocks_ = false;
};

// A window of the image itself, for a bitmap carved out of unallocated
// space: its bytes are the image's, from the window's start on.
class WindowSource final : public ContentSource {
 public:
  WindowSource(ImageReader::Problem& problem, std::string& detail)
      : problem_(problem), detail_(detail) {}

  void reset(TSK_IMG_INFO* image, std::uint64_t start, std::uint64_t length) {
    image_ = image;
    start_ = start;
    length_ = length;
  }

  std::uint64_t size() const override { return length_; }

  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (offset >= length_) return 0;
    length = std::min(length, length_ - offset);
    tsk_error_reset();
    return outcome(tsk_img_read(image_, static_cast<TSK_OFF_T>(start_ + offset), into,
                                static_cast<size_t>(length)),
                   problem_, detail_);
  }

 private:
  ImageReader::Problem& problem_;
  std::string& detail_;
  TSK_IMG_INFO* image_ = nullptr;
  std::uint64_t start_ = 0;
  std::uint64_t length_ = 0;
};

struct ImageReader::Handles {
  explicit Handles(const std::vector<std::string>& names) : images(names) {}
  ~Handles() { closeImage(); }

  // The image `ref` names, opened on first use; nullptr with `detail` set
  // when it cannot be.
  TSK_IMG_INFO* diskImage(const FileRef& ref) {
    if (ref.image != imageIndex) {
      closeImage();
      imageIndex = ref.image;
      if (!image.open(images[ref.image], imageError))
        imageError = "cannot open image: " + imageError;
    }
    if (image.info() == nullptr) detail = imageError;
    return image.info();
  }

  // The file system `ref` names, opened on first use; nullptr with `detail`
  // set when it cannot be.
  TSK_FS_INFO* fileSystem(const FileRef& ref) {
    if (diskImage(ref) == nullptr) return nullptr;
    auto found =
        std::find_if(fileSystems.begin(), fileSystems.end(), [&](const OpenFileSystem& open) {
          return open.offset == ref.fsOffset && open.poolVolume == ref.poolVolume;
        });
    if (found == fileSystems.end()) {
      OpenFileSystem opened;
      opened.offset = ref.fsOffset;
      opened.poolVolume = ref.poolVolume;
      tsk_error_reset();
      const auto type = static_cast<TSK_FS_TYPE_ENUM>(ref.fsTypeId);
      if (ref.poolVolume == 0) {
        opened.fs = tsk_fs_open_img(image.info(), static_cast<TSK_OFF_T>(ref.fsOffset), type);
      } else {
        opened.pool = tsk_pool_open_img_sing(image.info(), static_cast<TSK_OFF_T>(ref.fsOffset),
                                             TSK_POOL_TYPE_DETECT);
        if (opened.pool != nullptr) {
          opened.volumeImage = opened.pool->get_img_info(opened.pool, ref.poolVolume);
        }
        if (opened.volumeImage != nullptr) opened.fs = tsk_fs_open_img(opened.volumeImage, 0, type);
      }
      if (opened.fs == nullptr) {
        opened.error = describeFailure("cannot open the file system");
        opened.close();
      }
      fileSystems.push_back(std::move(opened));
      found = fileSystems.end() - 1;
    }
    if (found->fs == nullptr) detail = found->error;
    return found->fs;
  }

  void closeFile() {
    if (file != nullptr) tsk_fs_file_close(file);
    file = nullptr;
    content.reset(nullptr, nullptr, 0, false);
  }

  void closeImage() {
    closeFile();
    for (OpenFileSystem& open : fileSystems) open.close();
    fileSystems.clear();
    image.close();
    imageIndex = std::numeric_limits<std::size_t>::max();
  }

  ContentSource* fail(Problem found, std::string said) {
    problem = found;
    detail = std::move(said);
    return nullptr;
  }

  ContentSource* open(const FileRef& ref) {
    problem = Problem::kNone;
    detail.clear();
    runs.clear();
    times = FileTimes{};
    closeFile();
    if (ref.carved) {
      TSK_IMG_INFO* const disk = diskImage(ref);
      if (disk == nullptr) return fail(Problem::kUnreadable, detail);
      window.reset(disk, ref.windowStart, ref.windowLength);
      runs.push_back(ByteRun{0, ref.windowStart, ref.windowLength});
      return &window;
    }
    TSK_FS_INFO* const fs = fileSystem(ref);
    if (fs == nullptr) return fail(Problem::kUnreadable, detail);
    const bool deleted = ref.deleted();
    tsk_error_reset();
    file = tsk_fs_file_open_meta(fs, nullptr, static_cast<TSK_INUM_T>(ref.inode));
    if (file == nullptr || file->meta == nullptr) {
      return fail(deleted ? Problem::kUnrecoverable : Problem::kUnreadable,
                  deleted ? "" : describeFailure("cannot read the file's metadata"));
    }
    const TSK_FS_META* const meta = file->meta;
    if (deleted) {
      // A deleted name whose metadata is in use again, or is something else
      // now, names another file's content.
      const bool reused = (meta->flags & TSK_FS_META_FLAG_ALLOC) != 0 ||
                          (!ref.namedStream && meta->type != TSK_FS_META_TYPE_REG);
      if (reused) return fail(Problem::kOverwritten, "");
    }
    const TSK_FS_ATTR* const attr =
        ref.namedStream ? tsk_fs_file_attr_get_id(file, ref.attrId) : tsk_fs_file_attr_get(file);
    if (attr == nullptr) {
      tsk_error_reset();
      // An empty file may have no data at all.
      if (!deleted && !ref.namedStream && meta->size == 0) {
        content.reset(fs, nullptr, 0, false);
        return &content;
      }
      return fail(deleted ? Problem::kUnrecoverable : Problem::kUnreadable,
                  deleted ? "" : describeFailure("cannot read the file's data"));
    }
    const auto size = static_cast<std::uint64_t>(std::max<TSK_OFF_T>(attr->size, 0));
    // Empty deleted content cannot be told from content that is lost.
    if (deleted && size == 0) return fail(Problem::kUnrecoverable, "");
    content.reset(fs, attr, size, deleted);
    describeRuns(ref.fsOffset, fs->block_size, attr, size);
    times.modified = timeOf(meta->mtime, meta->mtime_nano);
    times.accessed = timeOf(meta->atime, meta->atime_nano);
    times.changed = timeOf(meta->ctime, meta->ctime_nano);
    times.created = timeOf(meta->crtime, meta->crtime_nano);
    return &content;
  }

  // A time the file system keeps, or nothing where it keeps none (zero).
  static std::optional<Timestamp> timeOf(time_t seconds, std::uint32_t nanoseconds) {
    if (seconds == 0 && nanoseconds == 0) return std::nullopt;
    return Timestamp{static_cast<std::int64_t>(seconds), nanoseconds};
  }

  // Where the content of `attr` lies in the image, run by run: blocks that
  // hold it (not sparse ones, which read as zeros, nor resident content, nor
  // compressed or encrypted runs, which do not map offsets to blocks).
  void describeRuns(std::uint64_t fsOffset, std::uint64_t blockSize, const TSK_FS_ATTR* attr,
                    std::uint64_t size) {
    if ((attr->flags & TSK_FS_ATTR_NONRES) == 0 ||
        (attr->flags & (TSK_FS_ATTR_COMP | TSK_FS_ATTR_ENC)) != 0) {
      return;
    }
    for (const TSK_FS_ATTR_RUN* run = attr->nrd.run; run != nullptr; run = run->next) {
      if ((run->flags & (TSK_FS_ATTR_RUN_FLAG_SPARSE | TSK_FS_ATTR_RUN_FLAG_FILLER)) != 0) continue;
      const std::uint64_t at = run->offset * blockSize;
      if (at >= size) break;
      runs.push_back(ByteRun{at, fsOffset + run->addr * blockSize,
                             std::min<std::uint64_t>(run->len * blockSize, size - at)});
    }
  }

  const std::vector<std::string>& images;
  std::size_t imageIndex = std::numeric_limits<std::size_t>::max();
  DiskImage image;
  std::string imageError;
  std::vector<OpenFileSystem> fileSystems;
  TSK_FS_FILE* file = nullptr;
  Problem problem = Problem::kNone;
  std::string detail;
  ImageFile content{problem, detail};
  WindowSource window{problem, detail};
  std::vector<ByteRun> runs;
  FileTimes times;
};

ImageReader::ImageReader(const std::vector<std::string>& images)
    : handles_(std::make_unique<Handles>(images)) {}

ImageReader::~ImageReader() = default;

ContentSource* ImageReader::open(const FileRef& ref) { return handles_->open(ref); }

ImageReader::Problem ImageReader::problem() const { return handles_->problem; }

const std::string& ImageReader::detail() const { return handles_->detail; }

const std::vector<ByteRun>& ImageReader::byteRuns() const { return handles_->runs; }

const FileTimes& ImageReader::times() const { return handles_->times; }

}  // namespace quillmark::disk_image

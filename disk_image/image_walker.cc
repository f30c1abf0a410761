#include "disk_image/image_walker.h"

#include <libewf.h>
#include <tsk/libtsk.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "disk_image/disk_image.h"
#include "disk_image/free_space_carver.h"
#include "disk_image/qcow_image.h"

namespace quillmark::disk_image {

namespace {

constexpr std::string_view kVolumeLabelSuffix = " (Volume Label Entry)";

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// True when a failed tsk_fs_open means only that no file system the library
// knows is there, rather than that reading failed.
bool notRecognised(std::uint32_t error) {
  return error == 0 || error == TSK_ERR_FS_UNKTYPE || error == TSK_ERR_FS_UNSUPTYPE ||
         error == TSK_ERR_FS_ENCRYPTED || error == TSK_ERR_FS_POSSIBLY_ENCRYPTED;
}

// Why the library rejects the partition table at the start of `image`, or
// empty when none is there. Detection gives up on a table it finds broken as
// silently as on none at all; a DOS or GPT table is there when its signature
// is (0x55 0xAA ending the first sector, "EFI PART" opening the second), and
// then the library's reason for refusing it is the one that opening that
// type alone gives.
std::string rejectedPartitionTable(TSK_IMG_INFO* image) {
  const std::uint64_t sector = image->sector_size == 0 ? 512 : image->sector_size;
  char start[2 * 4096] = {};
  if (2 * sector > sizeof start ||
      tsk_img_read(image, 0, start, 2 * sector) != static_cast<ssize_t>(2 * sector)) {
    tsk_error_reset();
    return "";
  }
  const bool dos = static_cast<unsigned char>(start[510]) == 0x55 &&
                   static_cast<unsigned char>(start[511]) == 0xAA;
  const bool gpt = std::memcmp(start + sector, "EFI PART", 8) == 0;
  for (const auto& [present, type] :
       {std::pair{gpt, TSK_VS_TYPE_GPT}, std::pair{dos, TSK_VS_TYPE_DOS}}) {
    if (!present) continue;
    tsk_error_reset();
    TSK_VS_INFO* const volumes = tsk_vs_open(image, 0, type);
    if (volumes != nullptr) {
      tsk_vs_close(volumes);
      continue;
    }
    // A FAT or NTFS boot sector ends in 0x55 0xAA too, without valid entries.
    const std::uint32_t error = tsk_error_get_errno();
    if (error != 0 && error != TSK_ERR_VS_MAGIC) {
      return describeFailure(std::string(tsk_vs_type_toname(type)) + " partition table rejected");
    }
  }
  tsk_error_reset();
  return "";
}

}  // namespace

struct ImageWalker::Walk {
  Walk(const Sink& to, Tally* counts)
      : sink(to),
        tally(counts),
        carver({counts == nullptr ? nullptr : &counts->carvePositions,
                counts == nullptr ? nullptr : &counts->carveCandidates}) {}

  const Sink& sink;
  Tally* tally;
  ImageEntry entry;
  bool stopped = false;
  TSK_FS_INFO* fs = nullptr;
  std::string filePath;  // of the file being visited; the sink may take entry.path

  // Carving: the image's path, for the carver's own handle on it.
  bool carving = false;
  std::string imagePath;
  FreeSpaceCarver carver;

  // Hands the entry, as it stands, to the sink.
  bool emit() {
    if (!stopped) stopped = !sink(entry);
    return !stopped;
  }

  bool emitProblem(ImageEntry::Kind kind, std::string detail) {
    entry.kind = kind;
    entry.path.clear();
    entry.detail = std::move(detail);
    return emit();
  }

  // Hands the sink, in order, what the carver finds, until it is done.
  bool takeCarved() {
    FreeSpaceCarver::Found found;
    while (!stopped && carver.next(found)) {
      if (found.kind != FreeSpaceCarver::Found::Kind::kCandidate) {
        const bool ofImage = found.kind == FreeSpaceCarver::Found::Kind::kImageError;
        emitProblem(ofImage ? ImageEntry::Kind::kImageError : ImageEntry::Kind::kFileSystemError,
                    std::move(found.detail));
        continue;
      }
      entry.kind = ImageEntry::Kind::kCarved;
      entry.path.clear();
      entry.detail.clear();
      entry.file.carved = true;
      entry.file.windowStart = found.start;
      entry.file.windowLength = found.length;
      entry.file.inode = 0;
      entry.file.namedStream = false;
      emit();
    }
    carver.stop();
    entry.file.carved = false;
    return !stopped;
  }

  // Carves [start, end) of the image, which lies in no file system.
  bool carveOutside(std::uint64_t start, std::uint64_t end) {
    entry.hasOffset = false;
    entry.file.fsOffset = 0;
    entry.file.fsType = "";
    entry.file.partition = 0;
    entry.file.poolVolume = 0;
    carver.startRegion(imagePath, start, end);
    return takeCarved();
  }

  // Walks each volume of `pool`, a container of volumes (APFS) at `offset`
  // in the image, then, when carving, the container's free space.
  void walkPool(const TSK_POOL_INFO* pool, std::uint64_t offset) {
    const char* const type = pool->ctype == TSK_POOL_TYPE_APFS ? "apfs" : "";
    for (const TSK_POOL_VOLUME_INFO* volume = pool->vol_list; volume != nullptr && !stopped;
         volume = volume->next) {
      entry.file.fsOffset = offset;
      entry.hasOffset = true;
      entry.file.fsType = type;
      entry.file.poolVolume = volume->block;
      const std::string which = volume->desc == nullptr || *volume->desc == '\0'
                                    ? ""
                                    : std::string(" (") + volume->desc + ")";
      if ((volume->flags & TSK_POOL_VOLUME_FLAG_ENCRYPTED) != 0) {
        emitProblem(ImageEntry::Kind::kEncryptedVolume, "encrypted volume" + which);
        continue;
      }
      const ReadFailureWatch watch;
      tsk_error_reset();
      TSK_IMG_INFO* const volumeImage = pool->get_img_info(pool, volume->block);
      TSK_FS_INFO* const opened =
          volumeImage == nullptr ? nullptr : tsk_fs_open_img(volumeImage, 0, poolFileSystem(pool));
      if (opened != nullptr) {
        walkFileSystem(opened, offset, true);
      } else if (watch.failed()) {
        emitProblem(ImageEntry::Kind::kFileSystemError,
                    "cannot read the volume" + which + ": " + watch.what());
        tsk_error_reset();
      } else {
        emitProblem(ImageEntry::Kind::kFileSystemError,
                    describeFailure("cannot open the volume" + which));
      }
      if (volumeImage != nullptr) tsk_img_close(volumeImage);
    }
    entry.file.poolVolume = 0;
    if (!carving || stopped) return;
    entry.file.fsOffset = offset;
    entry.hasOffset = true;
    entry.file.fsType = type;
    std::vector<FreeSpaceCarver::Region> regions;
    TSK_FS_ATTR_RUN* runs = nullptr;
    try {
      runs = tsk_pool_unallocated_runs(pool);
    } catch (const std::exception& thrown) {
      // The library's APFS reader throws through this C function where the
      // container's space manager is damaged (a chunk-info block of the
      // wrong type); uncaught, it ended the process reading the image and
      // the image's other records with it. The free space alone is lost.
      emitProblem(ImageEntry::Kind::kFileSystemError,
                  std::string("cannot read the container's free space: ") + thrown.what());
      tsk_error_reset();
      return;
    }
    // The runs come from the container's own metadata: a run whose bytes
    // would lie past what 64 bits can address is passed over.
    const std::uint64_t most = std::numeric_limits<std::uint64_t>::max() - offset;
    const std::uint64_t block = pool->block_size;
    for (const TSK_FS_ATTR_RUN* run = runs; run != nullptr; run = run->next) {
      if (block == 0 || run->len > most / block || run->addr > most / block - run->len) continue;
      regions.push_back({offset + run->addr * block, offset + (run->addr + run->len) * block});
    }
    tsk_fs_attr_run_free(runs);
    tsk_error_reset();
    carver.startRegions(imagePath, std::move(regions));
    takeCarved();
  }

  // The file system type to open a volume of `pool` as.
  static TSK_FS_TYPE_ENUM poolFileSystem(const TSK_POOL_INFO* pool) {
    return pool->ctype == TSK_POOL_TYPE_APFS ? TSK_FS_TYPE_APFS_DETECT : TSK_FS_TYPE_DETECT;
  }

  // Walks the pool of volumes at `offset` of `image`, if there is one;
  // false when there is none.
  bool tryPool(TSK_IMG_INFO* image, std::uint64_t offset) {
    tsk_error_reset();
    const TSK_POOL_INFO* const pool =
        tsk_pool_open_img_sing(image, static_cast<TSK_OFF_T>(offset), TSK_POOL_TYPE_DETECT);
    tsk_error_reset();
    if (pool == nullptr) return false;
    walkPool(pool, offset);
    tsk_pool_close(pool);
    return true;
  }

  // Walks every file of the file system `opened`, at `offset` in the image;
  // when carving, carves its free blocks too, unless `inPool` (a pool's free
  // space is its container's, carved once for all its volumes).
  void walkFileSystem(TSK_FS_INFO* opened, std::uint64_t offset, bool inPool = false) {
    fs = opened;
    if (tally != nullptr) ++tally->fileSystems;
    ++entry.file.partition;

    entry.file.fsOffset = offset;
    entry.hasOffset = true;
    entry.file.fsType = tsk_fs_type_toname(fs->ftype);
    entry.file.fsTypeId = static_cast<std::uint32_t>(fs->ftype);
    if (fs->last_block_act < fs->last_block) {
      const std::string detail = "file system cut short: the image ends at block " +
                                 std::to_string(fs->last_block_act) + " of " +
                                 std::to_string(fs->last_block);
      if (!emitProblem(ImageEntry::Kind::kFileSystemError, detail)) return;
    }
    // The free space is read while the files are walked and read; the
    // bitmaps carved from it follow the files.
    const bool carveFreeBlocks = carving && !inPool;
    if (carveFreeBlocks) carver.startFreeBlocks(imagePath, offset, fs->ftype);
    const auto flags = static_cast<TSK_FS_DIR_WALK_FLAG_ENUM>(
        TSK_FS_DIR_WALK_FLAG_ALLOC | TSK_FS_DIR_WALK_FLAG_UNALLOC | TSK_FS_DIR_WALK_FLAG_RECURSE);
    tsk_error_reset();
    if (tsk_fs_dir_walk(fs, fs->root_inum, flags, &Walk::visit, this) != 0 && !stopped) {
      emitProblem(ImageEntry::Kind::kFileSystemError,
                  describeFailure("cannot walk the file system"));
    }
    if (carveFreeBlocks) takeCarved();
    tsk_fs_close(fs);
    fs = nullptr;
  }

  static TSK_WALK_RET_ENUM visit(TSK_FS_FILE* file, const char* parent, void* self) {
    return static_cast<Walk*>(self)->visitFile(file, parent) ? TSK_WALK_CONT : TSK_WALK_STOP;
  }

  // Hands the sink `file` if it is a regular file, and its named streams.
  bool visitFile(TSK_FS_FILE* file, const char* parent) {
    const TSK_FS_NAME* const name = file->name;
    if (name == nullptr || std::strcmp(name->name, ".") == 0 ||
        std::strcmp(name->name, "..") == 0) {
      return true;
    }
    const TSK_FS_META* const meta = file->meta;
    const bool nameUnallocated = (name->flags & TSK_FS_NAME_FLAG_UNALLOC) != 0;
    const bool metaUnallocated = meta != nullptr && (meta->flags & TSK_FS_META_FLAG_UNALLOC) != 0;
    const bool metaIsFile = meta != nullptr && meta->type == TSK_FS_META_TYPE_REG;
    const bool nameIsFile = name->type == TSK_FS_NAME_TYPE_REG;
    // A deleted name still tells what it named, even where its metadata has
    // since become something else.
    const bool isFile = nameUnallocated || metaUnallocated ? nameIsFile || metaIsFile : metaIsFile;

    entry.kind = ImageEntry::Kind::kFile;
    entry.detail.clear();
    entry.file.carved = false;

    filePath.assign("/").append(parent).append(name->name);
    entry.path = filePath;
    entry.file.inode = name->meta_addr;
    entry.file.nameUnallocated = nameUnallocated;
    entry.file.metaUnallocated = metaUnallocated;
    entry.file.namedStream = false;
    if (isFile && !isVolumeLabel(name) && !emit()) return false;
    return TSK_FS_TYPE_ISNTFS(fs->ftype) && meta != nullptr ? visitNamedStreams(file) : true;
  }

  // A FAT volume label, which the library lists as an empty file named
  // "LABEL (Volume Label Entry)" with no short name: a file whose long name
  // ends so has a short name of its own.
  bool isVolumeLabel(const TSK_FS_NAME* name) const {
    return TSK_FS_TYPE_ISFAT(fs->ftype) && (name->shrt_name == nullptr || *name->shrt_name == 0) &&
           endsWith(name->name, kVolumeLabelSuffix);
  }

  // The type of an attribute as the image states it. The library copies an
  // NTFS attribute's type from the image into an enum field as it is, so a
  // hostile image may leave a value there that the enum does not name, and
  // reading the field as the enum would be undefined: its bytes are read.
  static std::uint32_t attributeType(const TSK_FS_ATTR& attr) {
    static_assert(sizeof attr.type == sizeof(std::uint32_t), "an attribute type is 32 bits");
    std::uint32_t type = 0;
    std::memcpy(&type, &attr.type, sizeof type);
    return type;
  }

  // Hands the sink each named data stream of an NTFS file or directory.
  bool visitNamedStreams(TSK_FS_FILE* file) {
    const int count = tsk_fs_file_attr_getsize(file);
    for (int i = 0; i < count; ++i) {
      const TSK_FS_ATTR* const attr = tsk_fs_file_attr_get_idx(file, i);
      if (attr == nullptr || attributeType(*attr) != TSK_FS_ATTR_TYPE_NTFS_DATA ||
          attr->name == nullptr || *attr->name == '\0') {
        continue;
      }
      entry.path.assign(filePath).append(":").append(attr->name);
      entry.file.namedStream = true;
      entry.file.attrType = attributeType(*attr);
      entry.file.attrId = attr->id;
      if (!emit()) return false;
    }
    tsk_error_reset();  // a file without attributes is not an error of the walk
    return true;
  }
};

bool diskImagesSupported() { return true; }

std::vector<std::pair<std::string, std::string>> libraryVersions() {
  std::vector<std::pair<std::string, std::string>> versions = {
      {"The Sleuth Kit", tsk_version_get_str()}, {"libewf", libewf_get_version()}};
  if (qcowImagesSupported()) versions.emplace_back("libqcow", qcowLibraryVersion());
  return versions;
}

bool ImageWalker::walk(std::size_t index, const std::string& path, const Sink& sink) {
  Walk walk(sink, tally_);
  walk.carving = settings_.carve;
  walk.imagePath = path;
  walk.entry.file.image = index;
  DiskImage image;
  std::string error;
  if (!image.open(path, error)) {
    return walk.emitProblem(ImageEntry::Kind::kImageError,
                            image.unsupportedFormat() ? error : "cannot open image: " + error);
  }
  if (tally_ != nullptr) ++tally_->images;
  TSK_IMG_INFO* const info = image.info();
  if (image.size() == 0) return walk.emitProblem(ImageEntry::Kind::kImageError, "empty image");

  // Some damage shows only when its bytes are read: the end of an E01 set
  // whose later segments are missing reads as zeros that libewf merely
  // notes. Reading the last sector finds it at once.
  char last[512];
  const std::uint64_t tail = std::min<std::uint64_t>(sizeof last, image.size());
  tsk_error_reset();
  if (tsk_img_read(info, static_cast<TSK_OFF_T>(image.size() - tail), last, tail) !=
      static_cast<ssize_t>(tail)) {
    if (!walk.emitProblem(ImageEntry::Kind::kImageError,
                          describeFailure("cannot read the end of the image"))) {
      return false;
    }
  }

  const ReadFailureWatch probe;
  tsk_error_reset();
  TSK_VS_INFO* const volumes = tsk_vs_open(info, 0, TSK_VS_TYPE_DETECT);
  if (volumes != nullptr) {
    for (TSK_PNUM_T i = 0; i < volumes->part_count && !walk.stopped; ++i) {
      const TSK_VS_PART_INFO* const part = tsk_vs_part_get(volumes, i);
      if (part == nullptr) continue;
      // A hostile table may put a partition anywhere, even where its byte
      // offset no longer fits in 64 bits.
      const std::uint64_t sector = volumes->block_size == 0 ? 512 : volumes->block_size;
      const bool inImage = part->start <= image.size() / sector;
      // The space outside every partition.
      if ((part->flags & TSK_VS_PART_FLAG_UNALLOC) != 0 && walk.carving && inImage) {
        const std::uint64_t length = part->len <= (image.size() - part->start * sector) / sector
                                         ? part->len * sector
                                         : image.size();
        walk.carveOutside(part->start * sector, part->start * sector + length);
        continue;
      }
      if ((part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
      walk.entry.file.fsType = "";
      walk.entry.hasOffset = part->start <= image.size() / sector;
      walk.entry.file.fsOffset = walk.entry.hasOffset ? part->start * sector : 0;
      const std::uint64_t offset = walk.entry.file.fsOffset;
      if (!walk.entry.hasOffset || offset >= image.size()) {
        walk.emitProblem(ImageEntry::Kind::kFileSystemError,
                         "the partition starts past the end of the image, at sector " +
                             std::to_string(part->start));
        continue;
      }

      // A partition ending past the image's end has lost bytes that the
      // library may have needed to tell what it holds.
      const std::uint64_t partitionEnd =
          part->len <= (std::numeric_limits<std::uint64_t>::max() - offset) / sector
              ? offset + part->len * sector
              : std::numeric_limits<std::uint64_t>::max();
      const ReadFailureWatch watch;
      if (walk.tryPool(info, offset)) continue;
      tsk_error_reset();
      TSK_FS_INFO* const fs = tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT);
      if (fs != nullptr) {
        walk.walkFileSystem(fs, offset);
        continue;
      }
      const bool unknown = notRecognised(tsk_error_get_errno());
      const std::string which = *part->desc == '\0' ? "" : std::string(" (") + part->desc + ")";
      const bool cutShort = partitionEnd > image.size();
      if (watch.failed() || (unknown && cutShort)) {
        // Not all of the partition's bytes could be read: a failure, never
        // an empty partition.
        const std::string missing = watch.failed()
                                        ? watch.what()
                                        : "the image ends at byte " + std::to_string(image.size()) +
                                              ", before the partition's end at byte " +
                                              std::to_string(partitionEnd);
        tsk_error_reset();
        walk.emitProblem(
            ImageEntry::Kind::kFileSystemError,
            std::string("cannot read the partition").append(which).append(": ").append(missing));
      } else {
        walk.emitProblem(
            unknown ? ImageEntry::Kind::kNoFileSystem : ImageEntry::Kind::kFileSystemError,
            describeFailure((unknown ? "no file system recognised in the partition"
                                     : "cannot open the file system in the partition") +
                            which));
      }
      // A partition without a file system the library knows, or whose file
      // system could not be read, whole: what can be read of it.
      if ((unknown || watch.failed()) && walk.carving) {
        walk.carveOutside(offset, std::min(partitionEnd, image.size()));
      }
    }
    tsk_vs_close(volumes);
    return !walk.stopped;
  }

  // No volume system the library knows, or a table it rejects; either way a
  // pool of volumes or a file system may start at offset 0 (a disk without
  // partitions).
  if (walk.tryPool(info, 0)) return !walk.stopped;
  tsk_error_reset();
  walk.entry.file.fsOffset = 0;
  walk.entry.hasOffset = true;
  TSK_FS_INFO* const fs = tsk_fs_open_img(info, 0, TSK_FS_TYPE_DETECT);
  if (fs != nullptr) {
    // Past the file system's end, the rest of the image is in no file system.
    const std::uint64_t fsEnd =
        fs->last_block < image.size() / std::max<std::uint64_t>(fs->block_size, 1)
            ? (fs->last_block + 1) * fs->block_size
            : image.size();
    walk.walkFileSystem(fs, 0);
    if (walk.carving && !walk.stopped && fsEnd < image.size()) {
      walk.carveOutside(fsEnd, image.size());
    }
    return !walk.stopped;
  }
  const bool unknown = notRecognised(tsk_error_get_errno());
  const std::string failure = describeFailure("cannot open the file system");
  const std::string rejected = rejectedPartitionTable(info);
  if (probe.failed()) {
    // Bytes the library needed to tell what the image holds could not be
    // read: nothing can be said of it, least of all that it is blank.
    walk.entry.hasOffset = false;
    walk.emitProblem(ImageEntry::Kind::kImageError,
                     "cannot read the image to find its volumes or file system: " + probe.what());
  } else if (!rejected.empty()) {
    walk.entry.hasOffset = false;
    walk.emitProblem(ImageEntry::Kind::kVolumeSystemError, rejected);
  } else if (!unknown) {
    walk.emitProblem(ImageEntry::Kind::kFileSystemError, failure);
  } else {
    walk.entry.hasOffset = false;
    walk.emitProblem(ImageEntry::Kind::kNothingRecognised,
                     "neither a volume system nor a file system recognised");
  }
  // With no file system found, the whole image is unallocated space: a
  // memory dump, a raw dump of a medium the library does not know.
  if (walk.carving && !walk.stopped && (unknown || !rejected.empty() || probe.failed())) {
    walk.carveOutside(0, image.size());
  }
  return !walk.stopped;
}

}  // namespace quillmark::disk_image

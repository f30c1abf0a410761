#include "scan/record_scanner.h"

#include "analysis/memory_source.h"
#include "container/container_format.h"
#include "disk_image/file_ref_text.h"

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <utility>

#include "analysis/report.h"

namespace quillmark::scan {

namespace {

using Outcome = ContentReader::Result::Outcome;

void fail(report::ScanRecord& record, const char* what, int error) {
  record.verdict = report::Verdict::kError;
  record.reason = what;
  if (error != 0) {
    record.reason += ": ";
    record.reason += std::strerror(error);
  }
}

disk_image::Timestamp timeOf(const struct timespec& time) {
  return disk_image::Timestamp{static_cast<std::int64_t>(time.tv_sec),
                               static_cast<std::uint32_t>(time.tv_nsec)};
}

// Takes back what the analysis put in `record`, for a file that turns out
// not to be readable as a whole after all.
void clearVerdict(report::ScanRecord& record) {
  record.notBmp = record.wrongDepth = false;
  record.name.clear();
  record.length = 0;
  record.lengthText.clear();
}

void skip(report::ScanRecord& record, report::SkipReason reason) {
  record.verdict = report::Verdict::kSkipped;
  record.skip = reason;
  record.reason = report::skipReasonText(reason);
}

// Why a file of type `type`, which is not a regular file, is skipped.
report::SkipReason skipReasonFor(mode_t type) {
  if (S_ISDIR(type)) return report::SkipReason::kDirectory;
  if (S_ISFIFO(type)) return report::SkipReason::kFifo;
  if (S_ISSOCK(type)) return report::SkipReason::kSocket;
  if (S_ISCHR(type)) return report::SkipReason::kCharacterDevice;
  if (S_ISBLK(type)) return report::SkipReason::kBlockDevice;
  if (S_ISLNK(type)) return report::SkipReason::kSymbolicLink;
  return report::SkipReason::kOtherType;
}

}  // namespace

void recordWalkEntry(tree::WalkEntry& entry, report::ScanRecord& record, ScanTask& task) {
  using Kind = tree::WalkEntry::Kind;
  record.clear();
  std::swap(record.path, entry.path);  // both keep their memory for reuse
  task = ScanTask{};
  switch (entry.kind) {
    case Kind::kFile:
      task.kind = ScanTask::Kind::kHostFile;
      task.followLink = entry.followLink;
      return;
    case Kind::kNotRegular:
      return skip(record, skipReasonFor(entry.type));
    case Kind::kLinkNotFollowed:
      return skip(record, report::SkipReason::kSymbolicLink);
    case Kind::kLoop:
      return skip(record, report::SkipReason::kFileSystemLoop);
    case Kind::kBrokenLink:
      skip(record, report::SkipReason::kBrokenLink);
      record.reason += ": ";
      record.reason += std::strerror(entry.error);
      return;
    case Kind::kUnreadable:
      return fail(record, entry.what, entry.error);
  }
}

void recordImageEntry(disk_image::ImageEntry& entry, const std::string& image,
                      report::ScanRecord& record, ScanTask& task) {
  using Kind = disk_image::ImageEntry::Kind;
  record.clear();
  task = ScanTask{};
  record.image = image;
  if (entry.hasOffset) record.fsOffset = entry.file.fsOffset;
  record.fsType = entry.file.fsType;
  if (entry.file.poolVolume != 0) record.volume = entry.file.poolVolume;
  if (entry.hasOffset && *entry.file.fsType != '\0') record.partition = entry.file.partition;
  switch (entry.kind) {
    case Kind::kFile:
      std::swap(record.path, entry.path);  // both keep their memory for reuse
      record.inode = entry.file.inode;
      record.deleted = entry.file.deleted();
      record.nameUnallocated = entry.file.nameUnallocated;
      record.metaUnallocated = entry.file.metaUnallocated;
      task.kind = ScanTask::Kind::kImageFile;
      task.file = entry.file;
      return;
    case Kind::kCarved:
      // Unallocated space holds nothing that is not deleted.
      record.carvedAt = entry.file.windowStart;
      record.carvedLength = entry.file.windowLength;
      record.deleted = true;
      task.kind = ScanTask::Kind::kImageFile;
      task.file = entry.file;
      return;
    case Kind::kNothingRecognised:
      skip(record, report::SkipReason::kNothingRecognised);
      break;
    case Kind::kNoFileSystem:
      skip(record, report::SkipReason::kNoFileSystem);
      break;
    case Kind::kEncryptedVolume:
      skip(record, report::SkipReason::kEncryptedVolume);
      break;
    case Kind::kImageError:
    case Kind::kVolumeSystemError:
    case Kind::kFileSystemError:
      record.verdict = report::Verdict::kError;
      record.reason = entry.detail;
      return;
  }
  // A skip's reason begins with its kind, then what the library said.
  record.reason = entry.detail;
}

ScanSettings scanSettings(const Options& options) {
  return ScanSettings{options.bmpOnly, options.hashes, options.hashAll,
                      options.format == report::Format::kHtml,
                      options.containers && container::containersSupported()};
}

const std::vector<std::string>& RecordScanner::noImages() {
  static const std::vector<std::string> none;
  return none;
}

void RecordScanner::complete(const ScanTask& task, report::ScanRecord& record) {
  switch (task.kind) {
    case ScanTask::Kind::kNone:
      return;
    case ScanTask::Kind::kHostFile:
      return scanHostFile(task.followLink, record);
    case ScanTask::Kind::kImageFile:
      return scanImageFile(task.file, record);
  }
}

void RecordScanner::scanImageFile(const disk_image::FileRef& file, report::ScanRecord& record) {
  using Problem = disk_image::ImageReader::Problem;
  ContentSource* const content = imageReader_.open(file);
  if (content != nullptr && fillFrom(*content, record)) {
    record.byteRuns = imageReader_.byteRuns();
    record.times = imageReader_.times();
    // A container is opened again, in the image, by the container child.
    if (!record.containerFormat.empty()) record.imageFile = disk_image::fileRefText(file);
    return;
  }

  switch (imageReader_.problem()) {
    case Problem::kOverwritten:
      return skip(record, report::SkipReason::kDeletedOverwritten);
    case Problem::kUnrecoverable:
      return skip(record, report::SkipReason::kDeletedUnrecoverable);
    case Problem::kNone:
    case Problem::kUnreadable:
      break;
  }
  record.verdict = report::Verdict::kError;
  record.reason = imageReader_.detail();
}

void RecordScanner::scanHostFile(bool followLink, report::ScanRecord& record) {
  scanOpened(hostFile_.open(record.path, followLink), hostFile_, record);
}

void RecordScanner::scanOpenFile(int fd, report::ScanRecord& record) {
  tree::HostFile file;
  scanOpened(file.adopt(fd), file, record);
}

void RecordScanner::scanOpened(tree::HostFile::Opened opened, tree::HostFile& file,
                               report::ScanRecord& record) {
  switch (opened) {
    case tree::HostFile::Opened::kFile:
      if (!fillFrom(file, record, &file)) return fail(record, "cannot read", file.error());
      record.times.modified = timeOf(file.status().st_mtim);
      record.times.accessed = timeOf(file.status().st_atim);
      record.times.changed = timeOf(file.status().st_ctim);
      return;
    case tree::HostFile::Opened::kLinkNotFollowed:
      return skip(record, report::SkipReason::kSymbolicLink);
    case tree::HostFile::Opened::kNotRegular:
      return skip(record, skipReasonFor(file.type()));
    case tree::HostFile::Opened::kFailed:
      return fail(record, "cannot open", file.error());
  }
}

bool RecordScanner::scanStream(ContentSource& source, report::ScanRecord& record) {
  streaming_ = true;
  const bool read = fillFrom(source, record);
  streaming_ = false;
  return read;
}

bool RecordScanner::isContainer(ContentSource& source, report::ScanRecord& record) {
  // Small content is in memory already; of large content only the header was read.
  std::string_view start = reader_.wholeContent();
  char head[container::kSignatureBytes];
  if (start.size() != source.size()) {
    const std::int64_t got = source.readAt(0, head, sizeof head);
    if (got <= 0) return false;
    record.bytesRead += static_cast<std::uint64_t>(got);
    start = std::string_view(head, static_cast<std::size_t>(got));
  }
  const char* format =
      container::containerFormatOf(reinterpret_cast<const unsigned char*>(start.data()),
                                   std::min(start.size(), container::kSignatureBytes));
  if (format == nullptr && container::isIso9660(source, record.bytesRead)) format = "iso9660";
  if (format == nullptr) return false;
  const std::string_view name = format;
  if (container::isMail(name) && !container::mailSupported()) return false;
  record.containerFormat = format;
  record.verdict = report::Verdict::kClean;
  record.fileSize = source.size();
  return true;
}

bool RecordScanner::fillFrom(ContentSource& source, report::ScanRecord& record,
                             const tree::HostFile* host) {
  // With every file hashed, its content is read once, whole, for both; a
  // member of a container can only be read so.
  const bool throughFirst = streaming_ || (hashing_ && settings_.hashAll);
  ContentSink* sink = nullptr;
  if (throughFirst) sink = hashing_ ? static_cast<ContentSink*>(&digests_) : &ignored_;
  if (throughFirst && hashing_) digests_.start();
  const ContentReader::Result result = reader_.analyse(source, settings_.bmpOnly, sink);
  record.bytesRead += result.bytesRead;
  switch (result.outcome) {
    case Outcome::kUnreadable:
      return false;
    case Outcome::kNotBmp:
      // --bmp-only still opens containers.
      if (settings_.containers && isContainer(source, record)) return true;
      skip(record, report::SkipReason::kNotBmp);
      return true;
    case Outcome::kShrank:
      fail(record, "file shrank while being read", 0);
      return true;
    case Outcome::kNotAnalysable:
      fail(record, "cannot be analysed", 0);
      return true;
    case Outcome::kAnalysed:
      break;
  }
  const Analysis& found = *result.analysis;
  // A container never begins with "BM": only other files are looked at.
  if (!found.bmpType && settings_.containers && isContainer(source, record)) return true;
  record.notBmp = !found.bmpType;
  record.wrongDepth = !found.depth24;
  record.fileSize = source.size();
  if (!found.hasPayload()) {
    record.verdict = report::Verdict::kClean;
  } else {
    record.verdict = report::Verdict::kPayload;
    record.name.assign(found.record.fileName());
    record.length = found.record.dataLength();
    lengthText_.str(std::string());
    writeDataLength(lengthText_, record.length);
    record.lengthText = lengthText_.str();
    // Read again from the same source: the analysis kept none of its pixels.
    if (settings_.pictures && !streaming_) painter_.paint(source, record.pictures);
    if (settings_.pictures && streaming_) {
      // A streamed member is read once: it is drawn from memory, when it
      // was small enough to be held whole.
      const std::string_view held = reader_.wholeContent();
      MemorySource memory(held);
      if (held.size() == source.size()) {
        painter_.paint(memory, record.pictures);
      } else {
        record.pictures.thumbnailWhy = record.pictures.lowBitsWhy =
            "a member of a container larger than " +
            std::to_string(ContentReader::kDefaultWholeLimit / 1024) +
            " KiB is read once, as it streams, and not drawn";
      }
    }
  }
  if (!hashing_ || (!settings_.hashAll && record.verdict != report::Verdict::kPayload)) return true;

  // The digests of a payload's content, read through now; a small file is
  // whole in memory already.
  bool whole = result.wholeToSink;
  if (!throughFirst) {
    digests_.start();
    const std::string_view held = reader_.wholeContent();
    if (held.size() == source.size()) {
      digests_.consume(held.data(), held.size());
      whole = true;
    } else {
      std::uint64_t bytes = 0;
      const ContentReader::Through through = reader_.readThrough(source, digests_, bytes);
      record.bytesRead += bytes;
      if (through == ContentReader::Through::kUnreadable) {
        clearVerdict(record);
        return false;
      }
      whole = through == ContentReader::Through::kWhole;
    }
  }
  // Bytes that were not all the file's, at one moment, make no digest.
  if (!whole || (host != nullptr && host->changed())) {
    clearVerdict(record);
    fail(record, "file changed while being read", 0);
    return true;
  }
  digests_.finish(record.hashes);
  return true;
}

}  // namespace quillmark::scan

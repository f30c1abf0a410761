#include "scan/file_scanner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>

#include "app/analysis.h"
#include "app/read_ahead.h"
#include "app/report.h"
#include "bitmap/bitmap_header_view.h"
#include "bitmap/read_plan.h"
#include "scan/file_image.h"
#include "scan/tree_walker.h"

namespace quillmark::scan {

namespace {

void fail(ScanRecord& record, const char* what, int error) {
  record.verdict = Verdict::kError;
  record.reason = what;
  if (error != 0) {
    record.reason += ": ";
    record.reason += std::strerror(error);
  }
}

void skip(ScanRecord& record, SkipReason reason) {
  record.verdict = Verdict::kSkipped;
  record.skip = reason;
  record.reason = skipReasonText(reason);
}

bool beginsWithBm(const char* bytes, std::uint64_t length) {
  return length >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

}  // namespace

void FileScanner::scanPath(bool followLink, ScanRecord& record) {
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  // Reading leaves the access time as it was where the system lets us (the
  // file's owner, or root): evidence is not touched.
  int fd = ::open(record.path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(record.path.c_str(), flags);
  if (fd < 0) {
    if (errno == ELOOP && !followLink) {
      skip(record, SkipReason::kSymbolicLink);
    } else {
      fail(record, "cannot open", errno);
    }
    return;
  }
  scanOpenFile(fd, record);
  ::close(fd);
}

long long FileScanner::readAt(int fd, char* into, std::uint64_t length, std::uint64_t offset,
                              ScanRecord& record) {
  std::uint64_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, into + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::uint64_t>(n);
  }
  record.bytesRead += got;
  return static_cast<long long>(got);
}

void FileScanner::scanOpenFile(int fd, ScanRecord& record) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(record, "cannot read", errno);
  if (!S_ISREG(info.st_mode)) return skip(record, skipReasonFor(info.st_mode));
  const auto size = static_cast<std::uint64_t>(info.st_size);

  if (size <= wholeFileLimit_) {
    // The walk of a small picture touches most of its pages: one read.
    char* const buffer = reserve(static_cast<std::size_t>(size));
    const long long got = readAt(fd, buffer, size, 0, record);
    if (got < 0) return fail(record, "cannot read", errno);
    const auto length = static_cast<std::uint64_t>(got);  // less if the file shrank
    if (bmpOnly_ && !beginsWithBm(buffer, length)) {
      return skip(record, SkipReason::kNotBmp);
    }
    FileImageBuf image(length);
    image.addSegment(0, buffer, static_cast<std::size_t>(length));
    return analyseImage(image, record);
  }

  // A large picture: the header, then the walk's ranges, all asked for at
  // once. The header is kept in front of the ranges in the buffer.
  char header[BitmapHeaderView::kSize] = {};
  const long long headerBytes = readAt(fd, header, sizeof header, 0, record);
  if (headerBytes < 0) return fail(record, "cannot read", errno);
  if (bmpOnly_ && !beginsWithBm(header, static_cast<std::uint64_t>(headerBytes))) {
    return skip(record, SkipReason::kNotBmp);
  }
  if (static_cast<std::uint64_t>(headerBytes) < sizeof header) {
    // The file shrank below its header since it was measured.
    FileImageBuf image(static_cast<std::uint64_t>(headerBytes));
    image.addSegment(0, header, static_cast<std::size_t>(headerBytes));
    return analyseImage(image, record);
  }
  BitmapHeaderView::Bytes bytes{};
  std::memcpy(bytes.data(), header, bytes.size());
  const BitmapHeaderView view(bytes);
  // Gaps of a few pages are read through: a request costs more than the
  // bytes it would skip, on a disk (a seek) as in a virtual machine.
  const ReadPlan plan =
      ReadPlan::forWalk(view.width(), view.height(), size).bridgingGapsBelow(kBridgedGap);
  if (plan.size() > 1) adviseReadAhead(fd, plan);

  char* const buffer = reserve(static_cast<std::size_t>(plan.totalBytes()));
  FileImageBuf image(size);
  const bool headerInPlan = !plan.empty() && plan.begin()->offset == 0;
  if (!headerInPlan) image.addSegment(0, header, sizeof header);
  std::size_t at = 0;
  for (const ByteRange& range : plan) {
    const long long got = readAt(fd, buffer + at, range.length, range.offset, record);
    if (got < 0) return fail(record, "cannot read", errno);
    if (static_cast<std::uint64_t>(got) < range.length) {
      return fail(record, "file shrank while being read", 0);
    }
    image.addSegment(range.offset, buffer + at, static_cast<std::size_t>(range.length));
    at += static_cast<std::size_t>(range.length);
  }
  analyseImage(image, record);
}

char* FileScanner::reserve(std::size_t size) {
  if (size > capacity_) {
    buffer_.reset(new char[size]);
    capacity_ = size;
  }
  return buffer_.get();
}

void FileScanner::analyseImage(std::streambuf& image, ScanRecord& record) {
  std::istream in(&image);
  const std::optional<Analysis> found = analyse(in);
  if (!found) return fail(record, "cannot be analysed", 0);
  record.notBmp = !found->bmpType;
  record.wrongDepth = !found->depth24;
  if (!found->hasPayload()) {
    record.verdict = Verdict::kClean;
    return;
  }
  record.verdict = Verdict::kPayload;
  record.name.assign(found->record.fileName());
  record.length = found->record.dataLength();
  lengthText_.str(std::string());
  writeDataLength(lengthText_, record.length);
  record.lengthText = lengthText_.str();
}

}  // namespace quillmark::scan

#ifndef QUILLMARK_SCAN_FILE_SCANNER_H_
#define QUILLMARK_SCAN_FILE_SCANNER_H_

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "scan/scan_record.h"

namespace quillmark::scan {

// The scanner's read path for one file: reads what the analysis needs with
// as few system calls as it can, then runs the detector's own analysis over
// those bytes in memory. A file up to `wholeFileLimit` bytes, whose walk
// covers most of it, is read whole in one read; a larger one has its header
// read, then the ranges its walk will read (with gaps under kBridgedGap read
// through) handed to the kernel together and read one after the other, so
// that a cold device serves them at once.
//
// One scanner serves one thread: it keeps its buffer from file to file, so
// that a scan allocates only while the buffer grows.
class FileScanner {
 public:
  static constexpr std::uint64_t kDefaultWholeFileLimit = 256 * 1024;
  // Planned ranges closer than this are read as one.
  static constexpr std::uint64_t kBridgedGap = 32 * 1024;

  explicit FileScanner(bool bmpOnly, std::uint64_t wholeFileLimit = kDefaultWholeFileLimit)
      : bmpOnly_(bmpOnly), wholeFileLimit_(wholeFileLimit) {}

  // Opens `record.path` read-only, without blocking on a FIFO and, unless
  // `followLink`, without following a symbolic link, and fills `record`
  // with what became of it. Anything but a regular file is skipped; a file
  // that cannot be opened or read is an error.
  void scanPath(bool followLink, ScanRecord& record);

  // As scanPath, for a file already open as `fd`, which stays open.
  void scanOpenFile(int fd, ScanRecord& record);

 private:
  // Reads up to `length` bytes at `offset` into `into`, retrying short
  // reads until the end of the file; adds what it read to `record`.
  // Returns the bytes read, or -1 with errno set.
  long long readAt(int fd, char* into, std::uint64_t length, std::uint64_t offset,
                   ScanRecord& record);
  void analyseImage(std::streambuf& image, ScanRecord& record);

  bool bmpOnly_;
  std::uint64_t wholeFileLimit_;
  // Grows to the largest file read whole or the largest read plan, and is
  // never cleared: bytes are read over it, never zero-filled first.
  char* reserve(std::size_t size);
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::ostringstream lengthText_;
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_FILE_SCANNER_H_

#include "analysis/read_ahead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmark {

std::size_t adviseReadAhead(int fd, const ReadPlan& plan) {
  std::size_t accepted = 0;
  for (const ByteRange& range : plan) {
    // WILLNEED starts the reads and returns at once.
    if (::posix_fadvise(fd, static_cast<off_t>(range.offset), static_cast<off_t>(range.length),
                        POSIX_FADV_WILLNEED) == 0) {
      ++accepted;
    }
  }
  return accepted;
}

std::size_t adviseWalkReadAhead(int fd, std::uint32_t width, std::uint32_t height) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return 0;
  static const auto pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const bool powerOfTwo = pageSize != 0 && (pageSize & (pageSize - 1)) == 0;
  return adviseReadAhead(fd,
                         ReadPlan::forWalk(width, height, static_cast<std::uint64_t>(info.st_size),
                                           powerOfTwo ? pageSize : ReadPlan::kDefaultPageSize));
}

}  // namespace quillmark

#include "tree/host_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "analysis/read_ahead.h"

namespace quillmark::tree {

namespace {

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

HostFile::~HostFile() { close(); }

void HostFile::close() {
  if (owned_ && fd_ >= 0) ::close(fd_);
  fd_ = -1;
  owned_ = false;
}

HostFile::Opened HostFile::open(const std::string& path, bool followLink) {
  close();
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  int fd = ::open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    error_ = errno;
    return error_ == ELOOP && !followLink ? Opened::kLinkNotFollowed : Opened::kFailed;
  }
  fd_ = fd;
  owned_ = true;
  return inspect();
}

HostFile::Opened HostFile::adopt(int fd) {
  close();
  fd_ = fd;
  return inspect();
}

HostFile::Opened HostFile::inspect() {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    error_ = errno;
    return Opened::kFailed;
  }
  if (!S_ISREG(info.st_mode)) {
    type_ = info.st_mode & S_IFMT;
    return Opened::kNotRegular;
  }
  size_ = static_cast<std::uint64_t>(info.st_size);
  status_ = info;
  return Opened::kFile;
}

bool HostFile::changed() const {
  struct stat info {};
  return ::fstat(fd_, &info) != 0 || static_cast<std::uint64_t>(info.st_size) != size_ ||
         !sameTime(info.st_mtim, status_.st_mtim) || !sameTime(info.st_ctim, status_.st_ctim);
}

std::int64_t HostFile::readAt(std::uint64_t offset, char* into, std::uint64_t length) {
  std::uint64_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd_, into + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<std::uint64_t>(n);
  }
  return static_cast<std::int64_t>(got);
}

void HostFile::willRead(const ReadPlan& plan) { adviseReadAhead(fd_, plan); }

}  // namespace quillmark::tree

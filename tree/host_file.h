#ifndef QUILLMARK_TREE_HOST_FILE_H_
#define QUILLMARK_TREE_HOST_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "analysis/content_source.h"

namespace quillmark::tree {

// A regular file on one of the host's own file systems, open for the scan
// and read with pread. Opening never blocks on a FIFO, never makes a
// terminal the controlling one, follows a symbolic link only when asked, and
// leaves the access time as it was where the system allows it (the file's
// owner, or root), so that evidence is not touched.
class HostFile final : public ContentSource {
 public:
  enum class Opened {
    kFile,             // a regular file, open for reading
    kLinkNotFollowed,  // a symbolic link, and `followLink` was not set
    kNotRegular,       // anything but a regular file: type() tells which
    kFailed,           // open or fstat failed: error() tells why
  };

  HostFile() = default;
  ~HostFile() override;
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  // Opens `path`, closing what was open before.
  Opened open(const std::string& path, bool followLink);
  // Uses `fd`, which stays open and belongs to the caller, as the file.
  Opened adopt(int fd);

  // The errno value of the failed open, fstat or read.
  int error() const { return error_; }
  // The type bits of what kNotRegular found.
  mode_t type() const { return type_; }
  // The file's status as fstat gave it when the file was opened; changed()
  // compares its size, modification time and change time with the file as
  // it is now.
  const struct stat& status() const { return status_; }
  bool changed() const;

  std::uint64_t size() const override { return size_; }
  // Retries short and interrupted reads up to the end of the file.
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override;
  // Hands every range to the kernel as read-ahead (posix_fadvise WILLNEED).
  void willRead(const ReadPlan& plan) override;

 private:
  Opened inspect();
  void close();

  int fd_ = -1;
  bool owned_ = false;
  int error_ = 0;
  mode_t type_ = 0;
  std::uint64_t size_ = 0;
  struct stat status_ {};
};

}  // namespace quillmark::tree

#endif  // QUILLMARK_TREE_HOST_FILE_H_

#include "report/output_stream.h"

#include <unistd.h>

#include <cerrno>

namespace quillmark::report {

void OutputStream::flushIfFull() {
  if (buffer_.size() >= kFlushSize) flush();
}

int writeFully(int fd, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    written += static_cast<std::size_t>(n);
  }
  return 0;
}

void OutputStream::flush() {
  if (error_ == 0) error_ = writeFully(fd_, buffer_);
  buffer_.clear();
}

bool OutputStream::brokenPipe() const { return error_ == EPIPE; }

}  // namespace quillmark::report

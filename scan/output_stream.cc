#include "scan/output_stream.h"

#include <unistd.h>

#include <cerrno>

namespace quillmark::scan {

void OutputStream::flushIfFull() {
  if (buffer_.size() >= kFlushSize) flush();
}

void OutputStream::flush() {
  std::size_t written = 0;
  while (error_ == 0 && written < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + written, buffer_.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  buffer_.clear();
}

bool OutputStream::brokenPipe() const { return error_ == EPIPE; }

}  // namespace quillmark::scan

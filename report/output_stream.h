#ifndef QUILLMARK_REPORT_OUTPUT_STREAM_H_
#define QUILLMARK_REPORT_OUTPUT_STREAM_H_

#include <string>
#include <string_view>

namespace quillmark::report {

// Buffered output to a file descriptor with write(2), for the records on
// standard output: lines are gathered and written in large pieces, and
// flush() hands over what is gathered whenever the scan waits, so that a
// reader sees records as they are found. A failed write is remembered:
// brokenPipe() when the reader went away (quillmark-scan DIR | head), else
// error() holds the errno value; nothing more is written after either.
// Writes all of `bytes` to `fd`, retrying short and interrupted writes.
// Returns 0, or the errno value of the write that failed (EIO when a write
// wrote nothing).
int writeFully(int fd, std::string_view bytes);

class OutputStream {
 public:
  explicit OutputStream(int fd) : fd_(fd) {}

  // The buffer to append to; written out once it holds kFlushSize bytes.
  std::string& buffer() { return buffer_; }
  void flushIfFull();
  void flush();

  bool ok() const { return error_ == 0; }
  bool brokenPipe() const;
  int error() const { return error_; }

  static constexpr std::size_t kFlushSize = 64 * 1024;

 private:
  int fd_;
  std::string buffer_;
  int error_ = 0;
};

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_OUTPUT_STREAM_H_

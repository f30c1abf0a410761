// quillmark-detect: tells whether a 24-bit BMP image carries a Quillmark
// payload in the lowest bits of its colour bytes.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <iostream>

#include "analysis/report.h"
#include "analysis/terminal_text.h"

#ifndef QUILLMARK_READ_AHEAD
#define QUILLMARK_READ_AHEAD 1
#endif

namespace {

// Used in the usage line when the program was started without a name.
constexpr const char* kProgramName = "quillmark-detect";

void reportCannotOpen(const char* path) {
  std::cerr << "cannot open file " << quillmark::TerminalText(path, ::isatty(STDERR_FILENO) == 1)
            << std::endl;
}

// Everything after the title line; returns the exit status.
int run(int argc, const char* const* argv) {
  if (argc < 2) {
    // Linux turns an empty argv into one empty name; both mean no name.
    const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
    const char* const name = named ? argv[0] : kProgramName;
    std::cerr << "no file name given\nusage: " << name << " <bmpfile>\n";
    return 1;
  }
  const char* const path = argv[1];

  // The image is opened here rather than by name through a file stream, so
  // that the descriptor is at hand for read-ahead hints. The stream over it
  // has a one-byte buffer, so every read asks the system for just the bytes
  // wanted, not 8 KiB; it owns the descriptor and closes it.
  // Opening a FIFO waits for a writer, possibly for ever; opened without
  // blocking it is seen for what it is and refused like any input that
  // cannot seek. Other files then read as usual, blocking.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) ||
      ::fcntl(fd, F_SETFL, O_RDONLY) != 0) {
    if (fd >= 0) ::close(fd);
    reportCannotOpen(path);
    return 1;
  }
  __gnu_cxx::stdio_filebuf<char> file(fd, std::ios_base::in | std::ios_base::binary, 1);
  std::istream image(&file);
  quillmark::ReportStyle style;
  style.escapeText = ::isatty(STDOUT_FILENO) == 1;
  style.readAheadFd = QUILLMARK_READ_AHEAD ? fd : -1;
  // A directory or a pipe opens like a file but cannot be analysed;
  // writeReport says so.
  if (!file.is_open() || !quillmark::writeReport(path, image, std::cout, style)) {
    reportCannotOpen(path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  quillmark::writeTitle(std::cout);
  int status = run(argc, argv);
  // Every line was flushed as it was written, so a lost line shows here.
  if (!std::cout) {
    std::cerr << "error writing standard output" << std::endl;
    status = 1;
  }
  return status;
}

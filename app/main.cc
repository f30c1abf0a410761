// quillmark-detect: tells whether a 24-bit BMP image carries a Quillmark
// payload in the lowest bits of its colour bytes.

#include <fstream>
#include <iostream>

#include "app/report.h"

namespace {

// Used in the usage line when the program was started without a name.
constexpr const char* kProgramName = "quillmark-detect";

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

  // A one-byte buffer of our own keeps the stream from allocating one and
  // makes every read ask the system for just the bytes wanted, not 8 KiB.
  char streamBuffer[1];
  std::ifstream image;
  image.rdbuf()->pubsetbuf(streamBuffer, sizeof streamBuffer);
  image.open(path, std::ios_base::in | std::ios_base::binary);
  // A directory or a pipe opens like a file but cannot be analysed;
  // writeReport says so.
  if (!image.is_open() || !quillmark::writeReport(path, image, std::cout)) {
    std::cerr << "cannot open file " << path << std::endl;
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

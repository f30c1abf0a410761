// Writes the two sample bitmaps: notes.bmp, whose hidden record names
// notes.txt of 1234 bytes, and clean.bmp, the same picture without a record.
// Usage: make_samples <folder>

#include <fstream>
#include <iostream>
#include <string>

#include "tests/samples.h"

namespace {

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios_base::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out) return true;
  std::cerr << "cannot write " << path << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_samples <folder>\n";
    return 2;
  }
  const std::string folder = argv[1];
  const bool ok = writeFile(folder + "/notes.bmp", quillmark::testing::notesSample()) &&
                  writeFile(folder + "/clean.bmp", quillmark::testing::cleanSample());
  return ok ? 0 : 1;
}

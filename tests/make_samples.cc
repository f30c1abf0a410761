// Writes the two sample bitmaps: notes.bmp, whose hidden record names
// notes.txt of 1234 bytes, and clean.bmp, the same picture without a record.
// With --corpus, writes the fuzzer's seed corpus instead: the samples and a
// handful of crafted files.
// Usage: make_samples <folder> | make_samples --corpus <folder>

#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/samples.h"

namespace {

using quillmark::testing::BitmapShape;
using quillmark::testing::makeBitmap;
using quillmark::testing::makeBitmapWith;
using quillmark::testing::makeRecord;
using quillmark::testing::picture;

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios_base::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out) return true;
  std::cerr << "cannot write " << path << "\n";
  return false;
}

std::vector<std::pair<std::string, std::string>> corpus() {
  const std::string record = makeRecord("notes.txt", 1234);
  BitmapShape deep = picture(16, 30);
  deep.biBitCount = 32;
  BitmapShape trailing = picture(7, 60);
  trailing.trailingBytes = 5;
  BitmapShape topDown = picture(20, -20);
  topDown.storedRows = 20;  // the rows a top-down header of 20 means
  return {
      {"notes.bmp", quillmark::testing::notesSample()},
      {"clean.bmp", quillmark::testing::cleanSample()},
      {"truncated.bmp", quillmark::testing::notesSample().substr(0, 1000)},
      {"header-only.bmp", quillmark::testing::notesSample().substr(0, 30)},
      {"empty.bmp", ""},
      {"top-down.bmp", makeBitmapWith(topDown, record)},
      {"width-0.bmp", makeBitmapWith(picture(0, 20), record) + std::string(64, '\x01')},
      {"height-0.bmp", makeBitmapWith(picture(30, 0), record) + std::string(92, '\x01')},
      {"huge-dimensions.bmp", makeBitmap(picture(65535, 65535, 0)) + std::string(4000, '\x55')},
      {"wrapped-width.bmp", makeBitmapWith(picture(65536 + 3, 200), record)},
      {"small-picture.bmp", makeBitmapWith(picture(12, 31), record)},
      {"trailing-bytes.bmp", makeBitmapWith(trailing, record)},
      {"32-bit.bmp", makeBitmapWith(deep, record)},
  };
}

}  // namespace

int main(int argc, char** argv) {
  const bool forCorpus = argc == 3 && std::string(argv[1]) == "--corpus";
  if (argc != 2 && !forCorpus) {
    std::cerr << "usage: make_samples <folder> | make_samples --corpus <folder>\n";
    return 2;
  }
  const std::string folder = argv[argc - 1];
  auto files = corpus();
  if (!forCorpus) files.resize(2);
  for (const auto& [name, bytes] : files) {
    if (!writeFile(std::string(folder).append("/").append(name), bytes)) return 1;
  }
  return 0;
}

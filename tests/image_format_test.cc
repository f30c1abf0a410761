// Formats of disk images told apart by their signatures before the library
// reads them as raw bytes.

#include "disk_image/image_format.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmark::disk_image {
namespace {

struct Row {
  const char* what;
  std::string start;  // the image's first bytes
  std::string end;    // its last 512 bytes, where it has them
  ImageFormat want;
};

std::string at(std::size_t offset, const std::string& bytes) {
  return std::string(offset, '\0') + bytes;
}

std::string trailer(const std::string& bytes) {
  return bytes + std::string(512 - bytes.size(), '\0');
}

TEST(ImageFormatTest, SignaturesNameTheirFormats) {
  using namespace std::string_literals;
  const Row rows[] = {
      {"QCOW version 3", "QFI\xfb\0\0\0\x03"s, "", ImageFormat::kQcow},
      {"QED", "QED\0"s, "", ImageFormat::kQed},
      {"QED needs its zero byte", "QEDX", "", ImageFormat::kOther},
      {"Parallels", "WithoutFreeSpace", "", ImageFormat::kParallels},
      {"Parallels, extended", "WithouFreSpacExt", "", ImageFormat::kParallels},
      {"sparse image", "sprs", "", ImageFormat::kSparseImage},
      {"VDI, by the magic at 64", at(64, "\x7f\x10\xda\xbe"), "", ImageFormat::kVdi},
      {"VDI magic elsewhere is nothing", "\x7f\x10\xda\xbe", "", ImageFormat::kOther},
      {"DMG trailer", std::string(512, 'x'), trailer("koly"), ImageFormat::kDmg},
      {"koly not in the last 512 bytes", std::string(512, 'x'), trailer("xkoly"),
       ImageFormat::kOther},
      {"short of a signature", "QF", "", ImageFormat::kOther},
  };
  for (const Row& row : rows) {
    const auto* start = reinterpret_cast<const unsigned char*>(row.start.data());
    const auto* end = reinterpret_cast<const unsigned char*>(row.end.data());
    EXPECT_EQ(imageFormatOf(start, row.start.size(), end, row.end.size()), row.want) << row.what;
  }
}

}  // namespace
}  // namespace quillmark::disk_image

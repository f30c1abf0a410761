// libFuzzer target: runs the whole analysis (header probe, walk, record and
// report) over arbitrary bytes, seen exactly as the program sees a file of
// those bytes, and aborts when an invariant breaks.

#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <streambuf>
#include <string>

#include "analysis/report.h"
#include "bitmap/bitmap_header_view.h"
#include "bitmap/read_plan.h"
#include "scan/record_scanner.h"
#include "tests/memory_file_buf.h"
#include "tests/record_as_report.h"

namespace {

using quillmark::testing::MemoryFileBuf;

// The most a run may ask of its input: the header read, the position check
// after it, the first pixel, and one seek and one read per pixel advance
// over the 140 x 8 hidden bits.
constexpr int kMaxReads = 2 + 1120 / 3;
constexpr int kMaxSeeks = 2 + 1120 / 3;

void check(bool ok, const char* invariant) {
  if (ok) return;
  (void)std::fprintf(stderr, "invariant broken: %s\n", invariant);
  std::abort();
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// True when `report` is one the program can print for a file of these bytes.
bool isWellFormed(const std::string& report, const std::uint8_t* data, std::size_t size) {
  std::string expected = "Analysing file fuzz.bmp\n";
  const auto at = [&](std::size_t i) { return i < size ? data[i] : std::uint8_t{0}; };
  if (at(0) != 'B' || at(1) != 'M') expected += "Not a BMP file\n";
  if ((at(28) | at(29) << 8) != 24) expected += "Colour depth should be 24 bits\n";
  if (!startsWith(report, expected)) return false;
  const std::string verdict = report.substr(expected.size());
  if (verdict == "File does not contain any Quillmark hidden data. \n") return true;

  const std::string detected = "Steganographic message detected.\nembedded file name: ";
  const std::string lengthLine = "\nlength of embedded data: ";
  const std::size_t lengthAt = verdict.rfind(lengthLine);
  if (!startsWith(verdict, detected) || lengthAt == std::string::npos || lengthAt < detected.size())
    return false;
  const std::string name = verdict.substr(detected.size(), lengthAt - detected.size());
  const std::string length = verdict.substr(lengthAt + lengthLine.size());
  return name.size() <= 128 && name.find('\0') == std::string::npos && length.size() > 1 &&
         length.back() == '\n' &&
         length.find_first_not_of("0123456789.e+-nainf\n") == std::string::npos;
}

std::string reportFrom(MemoryFileBuf& file) {
  std::istream in(&file);
  std::ostringstream out;
  check(quillmark::writeReport("fuzz.bmp", in, out), "a readable input is always reported");
  return out.str();
}

// Every byte the walk read lies in a range of the read plan for the file's
// geometry, and the plan is in ascending order with no two ranges sharing a
// page. The first read is the header's; a file shorter than the header has
// failed by then and the walk reads nothing.
void checkReadsArePlanned(const MemoryFileBuf& file, const std::uint8_t* data, std::size_t size) {
  if (size < quillmark::BitmapHeaderView::kSize) {
    for (std::size_t i = 1; i < file.obtained.size(); ++i)
      check(file.obtained[i].length == 0, "a failed header read ends all input");
    return;
  }
  quillmark::BitmapHeaderView::Bytes header{};
  std::memcpy(header.data(), data, header.size());
  const quillmark::BitmapHeaderView view(header);
  const quillmark::ReadPlan plan = quillmark::ReadPlan::forWalk(view.width(), view.height(), size);
  check(plan.size() <= quillmark::ReadPlan::kMaxRanges, "the plan is bounded");
  for (std::size_t i = 1; i < plan.size(); ++i) {
    const quillmark::ByteRange& before = *(plan.begin() + i - 1);
    const quillmark::ByteRange& range = *(plan.begin() + i);
    check(before.end() < range.offset, "planned ranges are sorted and apart");
  }
  for (std::size_t i = 1; i < file.obtained.size(); ++i) {
    check(plan.covers(file.obtained[i].offset, file.obtained[i].length),
          "every byte the walk reads is planned");
  }
}

// The scanner reads the same bytes from a file, on both of its read paths
// (the whole file, and the header then the walk's planned ranges), and must
// come to the detector's report.
void checkScannerAgrees(const std::string& report, const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("fuzz.bmp", MFD_CLOEXEC);
  check(fd >= 0 && ftruncate(fd, 0) == 0, "an in-memory file for the scanner");
  check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "the input written");
  const std::string body = report.substr(std::string("Analysing file fuzz.bmp\n").size());
  for (const std::uint64_t limit :
       {quillmark::ContentReader::kDefaultWholeLimit, std::uint64_t{0}}) {
    quillmark::report::ScanRecord record;
    quillmark::scan::RecordScanner(false, limit).scanOpenFile(fd, record);
    check(quillmark::testing::recordAsReport(record) == body,
          "the scanner's record is the detector's report");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFileBuf file(data, size);
  const std::string report = reportFrom(file);
  check(isWellFormed(report, data, size), "the report has one of the shapes the program prints");
  check(file.reads <= kMaxReads, "no more than 140 hidden bytes are pulled (reads)");
  check(file.seeks <= kMaxSeeks, "no more than 140 hidden bytes are pulled (seeks)");

  checkReadsArePlanned(file, data, size);
  checkScannerAgrees(report, data, size);

  MemoryFileBuf again(data, size);
  check(reportFrom(again) == report, "the same bytes give the same report");
  std::istringstream copy(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream fromString;
  check(quillmark::writeReport("fuzz.bmp", copy, fromString) && fromString.str() == report,
        "a string stream gives the same report as the file");
  return 0;
}

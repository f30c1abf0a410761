// libFuzzer target: runs the whole analysis (header probe, walk, record and
// report) over arbitrary bytes, seen exactly as the program sees a file of
// those bytes, and aborts when an invariant breaks.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <streambuf>
#include <string>

#include "app/report.h"

namespace {

// The most a run may ask of its input: the header read, the position check
// after it, the first pixel, and one seek and one read per pixel advance
// over the 140 x 8 hidden bits.
constexpr int kMaxReads = 2 + 1120 / 3;
constexpr int kMaxSeeks = 2 + 1120 / 3;

// A read-only file in memory: a seek before the start fails, one past the
// end succeeds and the next read obtains nothing, as with a file on disk.
// Counts the reads and seeks it is asked for.
class MemoryFileBuf final : public std::streambuf {
 public:
  MemoryFileBuf(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(static_cast<off_type>(size)) {}

  int reads = 0;
  int seeks = 0;

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir, std::ios_base::openmode) override {
    ++seeks;
    const off_type base = dir == std::ios_base::beg   ? 0
                          : dir == std::ios_base::cur ? position_
                                                      : size_;
    if (offset < -base) return pos_type(off_type(-1));
    position_ = base + offset;
    return pos_type(position_);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode mode) override {
    return seekoff(off_type(position), std::ios_base::beg, mode);
  }
  std::streamsize xsgetn(char* out, std::streamsize count) override {
    ++reads;
    const std::streamsize got =
        position_ >= size_ ? 0 : std::min<std::streamsize>(count, size_ - position_);
    if (got > 0) std::memcpy(out, data_ + position_, static_cast<std::size_t>(got));
    position_ += got;
    return got;
  }
  int_type underflow() override {
    return position_ < size_ ? traits_type::to_int_type(static_cast<char>(data_[position_]))
                             : traits_type::eof();
  }
  int_type uflow() override {
    const int_type next = underflow();
    if (next != traits_type::eof()) ++position_;
    return next;
  }

 private:
  const std::uint8_t* data_;
  off_type size_;
  off_type position_ = 0;
};

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryFileBuf file(data, size);
  const std::string report = reportFrom(file);
  check(isWellFormed(report, data, size), "the report has one of the shapes the program prints");
  check(file.reads <= kMaxReads, "no more than 140 hidden bytes are pulled (reads)");
  check(file.seeks <= kMaxSeeks, "no more than 140 hidden bytes are pulled (seeks)");

  MemoryFileBuf again(data, size);
  check(reportFrom(again) == report, "the same bytes give the same report");
  std::istringstream copy(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream fromString;
  check(quillmark::writeReport("fuzz.bmp", copy, fromString) && fromString.str() == report,
        "a string stream gives the same report as the file");
  return 0;
}

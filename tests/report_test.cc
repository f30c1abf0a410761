#include "analysis/report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "tests/samples.h"
#include "tests/test_bitmap.h"

namespace quillmark {
namespace {

using testing::BitmapShape;
using testing::makeBitmapWith;
using testing::makeRecord;
using testing::picture;

const char kNoData[] = "File does not contain any Quillmark hidden data. \n";

std::string report(const std::string& file) {
  std::istringstream in(file);
  std::ostringstream out;
  EXPECT_TRUE(writeReport("img.bmp", in, out));
  return out.str();
}

std::string detected(const std::string& name, const std::string& length) {
  return "Steganographic message detected.\nembedded file name: " + name +
         "\nlength of embedded data: " + length + "\n";
}

TEST(ReportTest, TitleBeginsWithTheNameAndEndsInABlank) {
  std::ostringstream out;
  writeTitle(out);
  EXPECT_EQ(out.str(), "Quillmark Detector " QUILLMARK_VERSION " \n");
}

TEST(ReportTest, WarningsAndVerdictPerFile) {
  struct Case {
    const char* what;
    std::string file;
    std::string expected;  // after the "Analysing file" line
  };
  BitmapShape deep;
  deep.biBitCount = 32;
  BitmapShape other;
  other.bfType = "GI";
  // 30 bits: the run-out zeroes byte 3, where the marker's zero belongs.
  const BitmapShape tenPixels = picture(1, 10);
  // 21 bits: the run-out zeroes byte 2, the marker's K.
  const BitmapShape sevenPixels = picture(1, 7);
  const Case cases[] = {
      {"notes sample", testing::notesSample(), detected("notes.txt", "1234")},
      {"clean sample", testing::cleanSample(), kNoData},
      {"empty file", "", std::string("Not a BMP file\nColour depth should be 24 bits\n") + kNoData},
      {"text file", "hello, world\n",
       std::string("Not a BMP file\nColour depth should be 24 bits\n") + kNoData},
      {"32-bit bitmap with a record", makeBitmapWith(deep, makeRecord("a", 1)),
       "Colour depth should be 24 bits\n" + detected("a", "1")},
      {"another type with a record", makeBitmapWith(other, makeRecord("b", 2)),
       "Not a BMP file\n" + detected("b", "2")},
      {"marker followed by a non-zero byte", makeBitmapWith({}, makeRecord("c", 3, "QMK!")),
       kNoData},
      {"run-out on the marker's zero byte", makeBitmapWith(tenPixels, makeRecord("d", 4)),
       detected("", "0")},
      {"run-out on the marker's K", makeBitmapWith(sevenPixels, makeRecord("d", 4)), kNoData},
      {"128-byte name", makeBitmapWith({}, makeRecord(std::string(128, 'z'), 5)),
       detected(std::string(128, 'z'), "5")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(report(c.file), "Analysing file img.bmp\n" + c.expected) << c.what;
  }
}

// Files whose header and size disagree: the walk goes where the header says,
// the stream fails where the file ends, and the report still comes out.
TEST(ReportTest, HostileGeometryIsWalkedAsTheHeaderSays) {
  struct Case {
    const char* what;
    std::string file;
    std::string expected;  // after the "Analysing file" line
  };
  const std::string record = makeRecord("h.txt", 7);
  std::string heightZero = testing::makeBitmap(picture(374, 0)) + std::string(1124, '\0');
  testing::embed(heightZero, 374, 0, record);  // walked along the one row at the end
  BitmapShape trailing = picture(20, 20);
  trailing.trailingBytes = 3;
  const Case cases[] = {
      {"width 0", makeBitmapWith(picture(0, 20), record), kNoData},
      {"height 0 walks the last stored row", heightZero, detected("h.txt", "7")},
      {"width 65535, one row", makeBitmapWith(picture(65535, 1), record), detected("h.txt", "7")},
      {"height 65535 from -1", makeBitmapWith(picture(1, -1), record), detected("h.txt", "7")},
      {"height 65535 over 100 stored rows", makeBitmapWith(picture(1, -1, 100), record), kNoData},
      {"65535 x 65535 over a header", testing::makeBitmap(picture(65535, 65535, 0)), kNoData},
      {"row stride longer than the file", makeBitmapWith(picture(20000, 1), record).substr(0, 600),
       kNoData},
      {"trailing bytes shift the walk", makeBitmapWith(trailing, record), kNoData},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(report(c.file), "Analysing file img.bmp\n" + c.expected) << c.what;
  }
}

// Every prefix of a bitmap with a record, from empty to past the header:
// the unread header bytes count as zero and the failed stream yields no data.
TEST(ReportTest, EveryShortPrefixIsReported) {
  const std::string file = makeBitmapWith(picture(20, 20), makeRecord("p", 1));
  for (std::size_t length = 0; length <= 60; ++length) {
    std::string expected = "Analysing file img.bmp\n";
    if (length < 2) expected += "Not a BMP file\n";
    if (length < 29) expected += "Colour depth should be 24 bits\n";  // 24 is one byte
    EXPECT_EQ(report(file.substr(0, length)), expected + kNoData) << length << " bytes";
  }
}

TEST(ReportTest, AnyFlippedMarkerBitMeansNoData) {
  for (std::size_t bit = 0; bit < 32; ++bit) {
    std::string record = makeRecord("notes.txt", 1234);
    testing::flipBit(record, bit);
    EXPECT_EQ(report(makeBitmapWith({}, record)), std::string("Analysing file img.bmp\n") + kNoData)
        << "bit " << bit;
  }
}

TEST(ReportTest, DataLengthUsesTheDefaultSixDigitGeneralFormat) {
  struct Case {
    double length;
    const char* printed;
  };
  const Case cases[] = {
      {0, "0"},           {5000, "5000"},       {0.5, "0.5"},
      {123456, "123456"}, {1000000, "1e+06"},   {1234567, "1.23457e+06"},
      {-2.5, "-2.5"},     {0.0001, "0.0001"},   {0.00001, "1e-05"},
      {1e300, "1e+300"},  {65536.5, "65536.5"}, {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(report(makeBitmapWith({}, makeRecord("f", c.length))),
              "Analysing file img.bmp\n" + detected("f", c.printed))
        << c.printed;
  }
}

// Serves bytes like a pipe: they can be read but not seeked.
class PipeBuf : public std::streambuf {
 public:
  explicit PipeBuf(std::string& bytes) {
    setg(bytes.data(), bytes.data(), bytes.data() + bytes.size());
  }
};

TEST(ReportTest, UnseekableInputWritesNothing) {
  std::string bytes = testing::notesSample();
  PipeBuf pipe(bytes);
  std::istream in(&pipe);
  std::ostringstream out;
  EXPECT_FALSE(writeReport("pipe", in, out));
  EXPECT_EQ(out.str(), "");
}

TEST(ReportTest, UnreadableInputWritesNothing) {
  std::ifstream directory(QUILLMARK_SOURCE_DIR, std::ios_base::binary);
  if (!directory.is_open()) GTEST_SKIP() << "directories do not open as file streams here";
  std::ostringstream out;
  EXPECT_FALSE(writeReport("dir", directory, out));
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace quillmark

// The scanner's read path gives, for every file, what the detector's own
// report says of it: the same verdict, warnings, name and length text.

#include "scan/record_scanner.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "analysis/content_reader.h"
#include "analysis/report.h"
#include "bitmap/read_plan.h"
#include "tests/record_as_report.h"
#include "tests/samples.h"
#include "tests/test_bitmap.h"

namespace quillmark {
namespace {

using scan::RecordScanner;

using report::ScanRecord;
using report::Verdict;
using testing::BitmapShape;
using testing::makeBitmapWith;
using testing::makeRecord;
using testing::picture;

// The detector's report body for `file`, after its "Analysing file" line.
std::string detectorReport(const std::string& file) {
  std::istringstream in(file);
  std::ostringstream out;
  EXPECT_TRUE(writeReport("f", in, out));
  return out.str().substr(std::string("Analysing file f\n").size());
}

// Scans `file` from an anonymous in-memory file with the given whole-file
// limit.
report::ScanRecord scanBytes(const std::string& file, std::uint64_t wholeFileLimit,
                             bool bmpOnly = false) {
  report::ScanRecord record;
  const int fd = memfd_create("scanned", MFD_CLOEXEC);
  if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
    ADD_FAILURE() << "cannot make an in-memory file";
    return record;
  }
  RecordScanner(bmpOnly, wholeFileLimit).scanOpenFile(fd, record);
  close(fd);
  return record;
}

// Every byte handed to a sink, in order.
class Collected final : public ContentSink {
 public:
  void consume(const char* bytes, std::size_t length) override { text.append(bytes, length); }
  std::string text;
};

// Reading `file` through whole, with a sink, gives the analysis that reading
// what the walk needs gives, and hands the sink exactly the file's bytes.
void expectReadThroughAgrees(const std::string& file, std::uint64_t wholeLimit, const char* what) {
  const int fd = memfd_create("scanned", MFD_CLOEXEC);
  ASSERT_TRUE(fd >= 0 && write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()));
  tree::HostFile source;
  ASSERT_EQ(source.adopt(fd), tree::HostFile::Opened::kFile);
  ContentReader plain(wholeLimit);
  ContentReader through(wholeLimit);
  Collected sink;
  const ContentReader::Result planned = plain.analyse(source, false);
  const ContentReader::Result whole = through.analyse(source, false, &sink);
  close(fd);
  EXPECT_EQ(sink.text, file) << what << ": every byte, in order";
  EXPECT_TRUE(whole.wholeToSink) << what;
  ASSERT_EQ(whole.outcome, planned.outcome) << what;
  if (planned.analysis && whole.analysis) {
    EXPECT_EQ(whole.analysis->bmpType, planned.analysis->bmpType) << what;
    EXPECT_EQ(whole.analysis->depth24, planned.analysis->depth24) << what;
    EXPECT_EQ(whole.analysis->hasPayload(), planned.analysis->hasPayload()) << what;
    EXPECT_EQ(whole.analysis->record.fileName(), planned.analysis->record.fileName()) << what;
  }
}

TEST(RecordScannerTest, AgreesWithTheDetectorOnBothReadPaths) {
  struct Case {
    const char* what;
    std::string file;
  };
  const std::string record = makeRecord("h.txt", 7);
  BitmapShape trailing = picture(20, 20);
  trailing.trailingBytes = 3;
  BitmapShape deep = picture(20, 20);
  deep.biBitCount = 32;
  const Case cases[] = {
      {"notes sample", testing::notesSample()},
      {"clean sample", testing::cleanSample()},
      {"empty file", ""},
      {"shorter than the header", testing::notesSample().substr(0, 20)},
      {"text file", "hello, world\n"},
      {"32-bit with a record", makeBitmapWith(deep, makeRecord("a", 1))},
      {"width 0", makeBitmapWith(picture(0, 20), record)},
      {"width 65535, one row", makeBitmapWith(picture(65535, 1), record)},
      {"height 65535 over 100 rows", makeBitmapWith(picture(1, -1, 100), record)},
      {"65535 x 65535 over a header", testing::makeBitmap(picture(65535, 65535, 0))},
      {"row stride longer than the file", makeBitmapWith(picture(20000, 1), record).substr(0, 600)},
      {"trailing bytes", makeBitmapWith(trailing, record)},
      {"truncated mid-walk", makeBitmapWith(picture(30, 20), record).substr(0, 1000)},
      {"photo-size rows, one page each", makeBitmapWith(picture(4000, 400), record)},
      {"run-out on the marker's zero", makeBitmapWith(picture(1, 10), record)},
  };
  for (const Case& c : cases) {
    const std::string expected = detectorReport(c.file);
    EXPECT_EQ(testing::recordAsReport(scanBytes(c.file, ContentReader::kDefaultWholeLimit)),
              expected)
        << c.what << ", read whole";
    EXPECT_EQ(testing::recordAsReport(scanBytes(c.file, 0)), expected)
        << c.what << ", read by plan";
    for (const std::uint64_t limit : {ContentReader::kDefaultWholeLimit, std::uint64_t{0}}) {
      expectReadThroughAgrees(c.file, limit, c.what);
    }
  }
}

TEST(RecordScannerTest, ReadsOnlyThePlanOfALargeFile) {
  struct Case {
    const char* what;
    std::int32_t width, height;
    std::size_t ranges;  // reads after the header
  };
  const Case cases[] = {
      // Rows of 48000 bytes: one page in twelve, too far apart to read through.
      {"pages far apart", 16000, 380, 374},
      // Rows of 12000 bytes: the gaps of two pages are read through.
      {"pages close together", 4000, 400, 1},
  };
  for (const Case& c : cases) {
    const std::string file = makeBitmapWith(picture(c.width, c.height), makeRecord("big", 2));
    const report::ScanRecord record = scanBytes(file, ContentReader::kDefaultWholeLimit);
    EXPECT_EQ(record.verdict, report::Verdict::kPayload) << c.what;
    const ReadPlan plan = ReadPlan::forWalk(static_cast<std::uint32_t>(c.width),
                                            static_cast<std::uint32_t>(c.height), file.size())
                              .bridgingGapsBelow(ContentReader::kBridgedGap);
    EXPECT_EQ(plan.size(), c.ranges) << c.what;
    EXPECT_EQ(record.bytesRead, 32 + plan.totalBytes()) << c.what << ": the header and the plan";
    EXPECT_LT(record.bytesRead, file.size()) << c.what;
  }
}

TEST(RecordScannerTest, BmpOnlySkipsOtherFilesQuietly) {
  for (const std::uint64_t limit : {ContentReader::kDefaultWholeLimit, std::uint64_t{0}}) {
    const report::ScanRecord other = scanBytes("GIF89a and more", limit, true);
    EXPECT_EQ(other.verdict, report::Verdict::kSkipped);
    EXPECT_EQ(other.skip, report::SkipReason::kNotBmp);
    EXPECT_EQ(scanBytes(testing::notesSample(), limit, true).verdict, report::Verdict::kPayload);
  }
}

}  // namespace
}  // namespace quillmark

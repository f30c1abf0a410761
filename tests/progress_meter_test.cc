// What the scanner tells on standard error: a line per error only, and a
// summary that counts skipped files by reason.

#include "scan/progress_meter.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace quillmark {
namespace {

using report::ScanRecord;
using report::SkipReason;
using report::Verdict;
using scan::ProgressMeter;

// Everything written to the descriptor `fd` so far.
std::string written(int fd) {
  std::string text;
  char chunk[4096];
  ssize_t n = 0;
  for (off_t at = 0; (n = pread(fd, chunk, sizeof chunk, at)) > 0; at += n) {
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return text;
}

report::ScanRecord skipped(report::SkipReason reason) {
  report::ScanRecord record;
  record.path = "p";
  record.verdict = report::Verdict::kSkipped;
  record.skip = reason;
  record.reason = report::skipReasonText(reason);
  return record;
}

// The "Skipped:" line of `summary`.
std::string skippedLine(const std::string& summary) {
  const std::size_t at = summary.find("Skipped: ");
  return at == std::string::npos ? "" : summary.substr(at, summary.find('\n', at) - at);
}

TEST(ProgressMeterTest, SkipsAreCountedByReasonAndOnlyErrorsGetALine) {
  struct Case {
    const char* what;
    std::vector<std::pair<report::SkipReason, int>> skips;
    int errors;
    std::string skippedLine;
  };
  const Case cases[] = {
      {"nothing skipped", {}, 0, "Skipped: 0"},
      {"one reason, grouped digits",
       {{report::SkipReason::kSymbolicLink, 6138}},
       0,
       "Skipped: 6,138 (6,138 symbolic links not followed)"},
      {"several reasons in a fixed order, one of them singular",
       {{report::SkipReason::kNotBmp, 2},
        {report::SkipReason::kFifo, 1},
        {report::SkipReason::kSocket, 3}},
       2,
       "Skipped: 6 (1 FIFO, 3 sockets, 2 files not BMP (--bmp-only))"},
  };
  for (const Case& c : cases) {
    const int fd = memfd_create("stderr", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ProgressMeter meter(fd, false, false);
    for (const auto& [reason, count] : c.skips) {
      for (int i = 0; i < count; ++i) meter.add(skipped(reason));
    }
    report::ScanRecord error;
    error.path = "locked.bmp";
    error.reason = "cannot open: Permission denied";
    for (int i = 0; i < c.errors; ++i) meter.add(error);
    std::string expectedLines;
    for (int i = 0; i < c.errors; ++i) {
      expectedLines += "quillmark-scan: locked.bmp: cannot open: Permission denied\n";
    }
    EXPECT_EQ(written(fd), expectedLines) << c.what << ": standard error carries errors only";
    EXPECT_EQ(skippedLine(meter.summary()), c.skippedLine) << c.what;
    EXPECT_EQ(meter.errors(), static_cast<std::uint64_t>(c.errors)) << c.what;
    close(fd);
  }
}

TEST(ProgressMeterTest, GroupsDigitsInThrees) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0"},
      {999, "999"},
      {1000, "1,000"},
      {100000, "100,000"},
      {1234567, "1,234,567"},
      {std::numeric_limits<std::uint64_t>::max(), "18,446,744,073,709,551,615"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(report::groupDigits(value), text);
}

}  // namespace
}  // namespace quillmark

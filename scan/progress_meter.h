#ifndef QUILLMARK_SCAN_PROGRESS_METER_H_
#define QUILLMARK_SCAN_PROGRESS_METER_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "disk_image/image_walker.h"
#include "report/scan_record.h"

namespace quillmark::scan {

// What the scan tells on standard error: a line for each file that could not
// be read, a progress line redrawn at most ten times a second when standard
// error is a terminal, and the summary at the end, which counts skipped files
// by reason. Skips are expected, so they get no line of their own. Counts
// every record it is shown.
class ProgressMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // `showProgress`: draw the progress line (standard error is a terminal
  // and not --quiet); `escapeText`: escape paths as TerminalText does.
  ProgressMeter(int fd, bool showProgress, bool escapeText);

  // Counts `record` and, when it is an error, writes its line.
  void add(const report::ScanRecord& record);
  // The number of files in the scan, once a counting walk knows it; any
  // thread may call this.
  void setTotal(std::uint64_t total) { total_.store(total); }
  // Counts, in the progress line and the summary, the disk images and file
  // systems that the walks counting into `tally` have opened.
  void countImages(const disk_image::ImageWalker::Tally& tally) { images_ = &tally; }
  // Redraws the progress line if it is due.
  void tick();
  // Takes the progress line off the terminal, so that records written to
  // the same terminal start on a clean line; the next tick() draws it again.
  void clearLine();

  // The summary, a few lines: disk images and file systems (when images
  // were scanned), files scanned, payloads, skipped (with the count of each
  // reason), errors, bytes read, elapsed time and files per second.
  std::string summary() const;
  // Writes `text` as it is, after clearing the progress line.
  void writeLine(const std::string& text);

  std::uint64_t payloads() const { return payloads_; }
  std::uint64_t errors() const { return errors_; }

 private:
  void write(const std::string& text) const;

  int fd_;
  bool showProgress_;
  bool escapeText_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point lastDraw_{};
  bool lineShown_ = false;
  std::atomic<std::uint64_t> total_{0};
  const disk_image::ImageWalker::Tally* images_ = nullptr;
  std::uint64_t done_ = 0;
  std::uint64_t scanned_ = 0;
  std::uint64_t payloads_ = 0;
  std::uint64_t skipped_ = 0;
  std::array<std::uint64_t, report::kSkipReasonCount>
      skippedFor_{};  // indexed by report::SkipReason
  std::uint64_t errors_ = 0;
  std::uint64_t bytesRead_ = 0;
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_PROGRESS_METER_H_

#include "scan/progress_meter.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "analysis/terminal_text.h"
#include "report/output_stream.h"
#include "report/record_writer.h"

namespace quillmark::scan {

namespace {

double secondsSince(ProgressMeter::Clock::time_point start) {
  return std::chrono::duration<double>(ProgressMeter::Clock::now() - start).count();
}

// `value` with `decimals` digits after the point.
std::string fixed(double value, int decimals) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return std::string(text,
                     length > 0 ? std::min(sizeof text - 1, static_cast<std::size_t>(length)) : 0);
}

}  // namespace

ProgressMeter::ProgressMeter(int fd, bool showProgress, bool escapeText)
    : fd_(fd), showProgress_(showProgress), escapeText_(escapeText) {}

void ProgressMeter::write(const std::string& text) const {
  (void)report::writeFully(fd_, text);  // if standard error fails, nowhere is left to say so
}

void ProgressMeter::clearLine() {
  if (!lineShown_) return;
  write("\r\x1b[K");
  lineShown_ = false;
}

void ProgressMeter::add(const report::ScanRecord& record) {
  ++done_;
  bytesRead_ += record.bytesRead;
  switch (record.verdict) {
    case report::Verdict::kPayload:
      ++payloads_;
      ++scanned_;
      return;
    case report::Verdict::kClean:
      ++scanned_;
      return;
    case report::Verdict::kSkipped:
      ++skipped_;
      ++skippedFor_[static_cast<std::size_t>(record.skip)];
      return;
    case report::Verdict::kError:
      ++errors_;
      break;
  }
  std::string line = "quillmark-scan: ";
  report::appendLocation(record, escapeText_, line);
  line += ": ";
  TerminalText(record.reason, escapeText_).appendTo(line);
  line += '\n';
  clearLine();
  write(line);
}

void ProgressMeter::tick() {
  if (!showProgress_) return;
  const Clock::time_point now = Clock::now();
  if (lineShown_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  const double elapsed = secondsSince(start_);
  const double rate = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
  char line[320];
  int length = 0;
  if (images_ != nullptr) {
    length =
        std::snprintf(line, sizeof line, "\r\x1b[K%" PRIu64 " images, %" PRIu64 " file systems, ",
                      images_->images.load(), images_->fileSystems.load());
  } else {
    length = std::snprintf(line, sizeof line, "\r\x1b[K");
  }
  if (length > 0 && static_cast<std::size_t>(length) < sizeof line) {
    length +=
        std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                      "%" PRIu64 " files, %" PRIu64 " payloads, %" PRIu64 " errors, %.0f files/s",
                      done_, payloads_, errors_, rate);
  }
  const std::uint64_t total = total_.load();
  if (total > 0 && length > 0 && static_cast<std::size_t>(length) < sizeof line) {
    const double share =
        total > done_ ? static_cast<double>(done_) / static_cast<double>(total) : 1;
    const double eta = rate > 0 && total > done_ ? static_cast<double>(total - done_) / rate : 0;
    length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                            " | %" PRIu64 " of %" PRIu64 " (%.0f%%), ETA %.0f s", done_, total,
                            100 * share, eta);
  }
  if (length <= 0) return;
  write(std::string(line, std::min(sizeof line - 1, static_cast<std::size_t>(length))));
  lineShown_ = true;
}

void ProgressMeter::writeLine(const std::string& text) {
  clearLine();
  write(text);
}

std::string ProgressMeter::summary() const {
  const double elapsed = secondsSince(start_);
  std::string skipped = report::groupDigits(skipped_);
  const char* separator = " (";
  for (std::size_t reason = 0; reason < report::kSkipReasonCount; ++reason) {
    if (skippedFor_[reason] == 0) continue;
    skipped += separator;
    skipped += report::describeSkips(static_cast<report::SkipReason>(reason), skippedFor_[reason]);
    separator = ", ";
  }
  if (skipped_ > 0) skipped += ')';
  std::string images;
  if (images_ != nullptr) {
    images = "Disk images: " + report::groupDigits(images_->images.load()) + "\n" +
             "File systems: " + report::groupDigits(images_->fileSystems.load()) + "\n";
    if (images_->carvePositions.load() > 0) {
      images += "Carving: " + report::groupDigits(images_->carvePositions.load()) +
                " positions tried, " + report::groupDigits(images_->carveCandidates.load()) +
                " bitmaps analysed\n";
    }
  }

  return "----------- SCAN SUMMARY -----------\n" + images +
         "Files scanned: " + report::groupDigits(scanned_) + "\n" +
         "Payloads found: " + report::groupDigits(payloads_) + "\n" + "Skipped: " + skipped + "\n" +
         "Errors: " + report::groupDigits(errors_) + "\n" +
         "Bytes read: " + report::groupDigits(bytesRead_) + "\n" + "Elapsed: " + fixed(elapsed, 3) +
         " s\n" + "Files per second: " +
         fixed(elapsed > 0 ? static_cast<double>(scanned_) / elapsed : 0, 0) + "\n";
}

}  // namespace quillmark::scan

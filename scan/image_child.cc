#include "scan/image_child.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "analysis/page_aligned_buffer.h"
#include "disk_image/library_progress.h"
#include "report/output_stream.h"
#include "scan/child_process.h"
#include "scan/record_codec.h"
#include "scan/record_scanner.h"
#include "scan/scan_pipeline.h"

namespace quillmark::scan {

namespace {

using disk_image::ImageEntry;
using disk_image::ImageWalker;

ChildRun imageRun(const ImageChildSettings& settings) {
  return ChildRun{settings.timeout, "the image", "the disk image library"};
}

std::vector<std::string> childArguments(const ImageChildSettings& settings, const char* mode,
                                        const std::string& image) {
  std::vector<std::string> arguments = {kImageProgram, mode, "-j", std::to_string(settings.jobs)};
  if (settings.bmpOnly) arguments.emplace_back("--bmp-only");
  appendDigestOptions(settings.hashes, settings.hashAll, arguments);

  if (settings.carve) arguments.emplace_back("--carve");
  if (settings.all) arguments.emplace_back("--all");
  if (settings.pictures) arguments.emplace_back("--format=html");
  // The child tells a container by its first bytes; the parent has it
  // opened in turn, in the image, by a container child.
  if (!settings.containers) arguments.emplace_back("--no-containers");
  arguments.push_back("--image=" + image);
  return arguments;
}

}  // namespace

bool scanImageInChild(const ImageChildSettings& settings, const std::string& image,
                      ImageWalker::Tally& tally, const std::atomic<int>& interrupt,
                      const std::function<bool(report::ScanRecord&)>& emit) {
  const std::uint64_t images = tally.images.load();
  const std::uint64_t fileSystems = tally.fileSystems.load();
  const std::uint64_t positions = tally.carvePositions.load();
  const std::uint64_t candidates = tally.carveCandidates.load();
  report::ScanRecord record;
  bool stopped = false;
  const std::optional<std::string> failure = runChild(
      imageRun(settings), childArguments(settings, "--image-child", image),
      [&] { return interrupt.load() != 0; },
      [&](const FrameReader& frame) {
        switch (frame.kind()) {
          case FrameKind::kRecord:
            // A frame that does not decode ends the stream as damaged.
            return frame.record(record) && emit(record);
          case FrameKind::kTally:
            tally.images = images + frame.counts()[0];
            tally.fileSystems = fileSystems + frame.counts()[1];
            tally.carvePositions = positions + frame.counts()[2];
            tally.carveCandidates = candidates + frame.counts()[3];
            return true;
          case FrameKind::kAlive:
          case FrameKind::kTotal:
          case FrameKind::kDone:
            return true;
        }
        return true;
      },
      stopped);
  if (stopped) return false;
  if (!failure) return true;
  record.clear();
  record.image = image;
  record.verdict = report::Verdict::kError;
  record.reason = *failure;
  return emit(record);
}

std::optional<std::uint64_t> countImageInChild(const ImageChildSettings& settings,
                                               const std::string& image,
                                               const std::atomic<bool>& cancel) {
  std::optional<std::uint64_t> total;
  bool stopped = false;
  const std::optional<std::string> failure = runChild(
      imageRun(settings), childArguments(settings, "--image-count", image),
      [&] { return cancel.load(); },
      [&](const FrameReader& frame) {
        if (frame.kind() == FrameKind::kTotal) total = frame.counts()[0];
        return true;
      },
      stopped);
  if (stopped || failure) return std::nullopt;
  return total;
}

int runImageChild(const Options& options, const std::atomic<int>& interrupt) {
  capMemory();
  const std::string& image = options.images.front();
  report::OutputStream out(STDOUT_FILENO);
  // The parent's watchdog needs a frame whenever the library read the image
  // since the last one; records are frames of their own.
  std::uint64_t reads = disk_image::libraryReadsSoFar();
  const auto sendAlive = [&] {
    const std::uint64_t now = disk_image::libraryReadsSoFar();
    if (now == reads) return;
    reads = now;
    appendCountFrame(FrameKind::kAlive, {}, out.buffer());
  };

  if (options.imageChild == Options::ImageChild::kCount) {
    std::atomic<std::uint64_t> count{0};
    std::atomic<bool> done{false};
    std::thread walk([&] {
      ImageWalker walker;
      walker.walk(0, image, [&](ImageEntry&) {
        ++count;
        return interrupt.load() == 0;
      });
      done = true;
    });
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      sendAlive();
      out.flush();
    }
    walk.join();
    appendCountFrame(FrameKind::kTotal, {count.load(), 0, 0, 0}, out.buffer());
    out.flush();
    return out.ok() ? 0 : 2;
  }

  ImageWalker::Tally tally;
  std::array<std::uint64_t, 4> sent{};
  const auto sendTally = [&] {
    const std::array<std::uint64_t, 4> now = {tally.images.load(), tally.fileSystems.load(),
                                              tally.carvePositions.load(),
                                              tally.carveCandidates.load()};
    if (now == sent) return;
    sent = now;
    appendCountFrame(FrameKind::kTally, sent, out.buffer());
  };
  // A carved bitmap is reported when it holds a payload, or with --all;
  // and never where a deleted file already reported by its name begins.
  // Those starts are kept only when carving, one for each deleted bitmap
  // of the image.
  std::unordered_set<std::uint64_t> deletedStarts;
  const auto wanted = [&](const report::ScanRecord& record) {
    if (!record.carvedAt) {
      const bool analysed =
          record.verdict == report::Verdict::kPayload || record.verdict == report::Verdict::kClean;
      if (options.carve && record.deleted && analysed && !record.byteRuns.empty() &&
          record.byteRuns.front().fileOffset == 0) {
        deletedStarts.insert(record.byteRuns.front().imageOffset);
      }
      return true;
    }
    return (options.all || record.verdict == report::Verdict::kPayload) &&
           deletedStarts.count(*record.carvedAt) == 0;
  };
  const std::size_t jobs = options.jobs != 0 ? options.jobs : defaultJobs();
  ScanPipeline pipeline(jobs, 16 * jobs, scanSettings(options), options.images, interrupt);
  pipeline.run(
      [&](const ScanPipeline::Emit& emit) {
        ImageWalker::Settings walk;
        walk.carve = options.carve;
        ImageWalker walker(&tally, walk);
        report::ScanRecord record;
        ScanTask task;
        walker.walk(0, image, [&](ImageEntry& entry) {
          recordImageEntry(entry, image, record, task);
          return emit(record, task);
        });
      },
      [&](report::ScanRecord& record) {
        sendTally();
        if (!wanted(record)) return true;
        appendRecordFrame(record, out.buffer());
        out.flushIfFull();
        return out.ok();
      },
      [&] {
        sendTally();
        sendAlive();
        out.flush();
      });
  sendTally();
  out.flush();
  return out.ok() ? 0 : 2;
}

}  // namespace quillmark::scan

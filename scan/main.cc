// quillmark-scan: tells which files of a whole collection carry a
// Quillmark payload, with the same analysis as quillmark-detect.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "disk_image/image_walker.h"
#include "report/output_stream.h"
#include "report/png_encoding.h"
#include "report/record_writer.h"
#include "scan/container_child.h"
#include "scan/image_child.h"
#include "scan/options.h"
#include "scan/progress_meter.h"
#include "scan/record_scanner.h"
#include "scan/scan_pipeline.h"
#include "scan/time_zone.h"
#include "tree/path_list.h"
#include "tree/tree_walker.h"

#ifndef QUILLMARK_VERSION
#error "QUILLMARK_VERSION must be defined by the build"
#endif

namespace {

using namespace quillmark::scan;
namespace report = quillmark::report;
using quillmark::disk_image::ImageWalker;
using quillmark::tree::PathList;
using quillmark::tree::TreeWalker;
using quillmark::tree::WalkEntry;

std::atomic<int> gSignal{0};

// Whether this build reads disk images: through kImageProgram, which links
// The Sleuth Kit where this program does not.
constexpr bool kReadsDiskImages = QUILLMARK_READS_DISK_IMAGES;

void onSignal(int signal) { gSignal.store(signal); }

int usageError(const std::string& error) {
  (void)report::writeFully(
      STDERR_FILENO,
      "quillmark-scan: " + error + "\nTry 'quillmark-scan --help' for more information.\n");
  return 2;
}

// Writes `text` to standard output for --help and --version.
int writeInfo(const std::string& text) {
  const int error = report::writeFully(STDOUT_FILENO, text);
  if (error == 0) return 0;
  (void)report::writeFully(
      STDERR_FILENO,
      std::string("quillmark-scan: error writing standard output: ") + std::strerror(error) + "\n");
  return 2;
}

// How the children that read the disk images are run.
ImageChildSettings childSettings(const Options& options) {
  ImageChildSettings settings;
  settings.jobs = options.jobs != 0 ? options.jobs : defaultJobs();
  settings.bmpOnly = options.bmpOnly;
  settings.carve = options.carve;
  settings.hashes = options.hashes;
  settings.hashAll = options.hashAll;
  settings.all = options.all;
  settings.pictures = options.format == report::Format::kHtml;
  settings.containers = options.containers;
  settings.timeout = options.imageTimeout;
  return settings;
}

// How the children that read containers are run.
ContainerChildSettings containerSettings(const Options& options) {
  ContainerChildSettings settings;
  settings.bmpOnly = options.bmpOnly;
  settings.hashes = options.hashes;
  settings.hashAll = options.hashAll;
  settings.all = options.all;
  settings.pictures = options.format == report::Format::kHtml;
  settings.maxDepth = options.maxDepth;
  settings.maxMembers = options.maxMembers;
  settings.timeout = options.imageTimeout;
  settings.jobs = options.jobs;
  return settings;
}

// Counts the entries of the named paths and images ahead of the scan, for
// the progress line's total, until `cancel` is set. An image's entries are
// counted by the library's own walk of it.
void countAhead(const Options& options, ProgressMeter& meter, const std::atomic<bool>& cancel) {
  std::uint64_t count = 0;
  const auto more = [&] {
    ++count;
    return !cancel.load() && gSignal.load() == 0;
  };
  TreeWalker walker({options.followAll, options.oneFileSystem});
  for (const std::string& path : options.paths) {
    if (!walker.walk(path, [&](WalkEntry&) { return more(); })) return;
  }
  for (const std::string& image : options.images) {
    if (cancel.load() || gSignal.load() != 0) return;
    const std::optional<std::uint64_t> records =
        countImageInChild(childSettings(options), image, cancel);
    count += records.value_or(1);  // an image that cannot be counted is one error record
  }
  meter.setTotal(count);
}

// The writer of `options.format`; for DFXML and HTML, with who is writing
// them.
report::RecordWriter makeWriter(const Options& options, bool escapeOut,
                                const std::vector<std::string>& arguments) {
  if (options.format != report::Format::kDfxml && options.format != report::Format::kHtml) {
    return report::RecordWriter(options.format, options.all, escapeOut, options.hashes);
  }
  report::ScanProvenance provenance;
  provenance.arguments = arguments;
  provenance.paths = options.paths;
  provenance.filesFrom = options.filesFrom;
  provenance.images = options.images;
  provenance.start = std::time(nullptr);
  if (kReadsDiskImages) provenance.libraries = helperLibraryVersions(kImageProgram);
  const std::string crypto = ContentDigests::libraryVersion();
  if (!crypto.empty()) provenance.libraries.emplace_back("libcrypto", crypto);
  if (options.containers) {
    for (auto& library : containerLibraryVersions()) {
      provenance.libraries.push_back(std::move(library));
    }
  }
  const std::string png = report::pngLibraryVersion();
  if (options.format == report::Format::kHtml && !png.empty()) {
    provenance.libraries.emplace_back("libpng", png);
  }
  return report::RecordWriter(options.format, std::move(provenance), options.all);
}

// `arguments` is the command line as given, for the report's provenance.
int scan(const Options& options, const std::vector<std::string>& arguments) {
  std::FILE* list = nullptr;
  if (options.filesFrom == "-") {
    list = stdin;
  } else if (!options.filesFrom.empty()) {
    list = std::fopen(options.filesFrom.c_str(), "re");
    if (list == nullptr) {
      return usageError("cannot read " + options.filesFrom + ": " + std::strerror(errno));
    }
  }

  const bool escapeOut = ::isatty(STDOUT_FILENO) == 1;
  const bool escapeErr = ::isatty(STDERR_FILENO) == 1;
  const bool showProgress = escapeErr && !options.quiet;
  report::OutputStream out(STDOUT_FILENO);
  report::RecordWriter writer = makeWriter(options, escapeOut, arguments);
  ProgressMeter meter(STDERR_FILENO, showProgress, escapeErr);
  writer.appendHeader(out.buffer());

  std::atomic<bool> cancelCount{false};
  std::thread counter;
  if (showProgress && options.filesFrom.empty()) {
    counter = std::thread([&] { countAhead(options, meter, cancelCount); });
  }

  int listError = 0;
  const std::size_t jobs = options.jobs != 0 ? options.jobs : defaultJobs();
  ImageWalker::Tally tally;
  if (!options.images.empty()) meter.countImages(tally);
  ScanPipeline pipeline(jobs, 16 * jobs, scanSettings(options), options.images, gSignal);
  ContainerChild containers(containerSettings(options), kContainerProgram);
  ContainerChild imageContainers(containerSettings(options), kImageContainerProgram);
  pipeline.run(
      [&](const ScanPipeline::Emit& emit) {
        TreeWalker walker({options.followAll, options.oneFileSystem});
        report::ScanRecord record;
        ScanTask task;
        const TreeWalker::Sink toRecord = [&](WalkEntry& entry) {
          recordWalkEntry(entry, record, task);
          return emit(record, task);
        };
        for (const std::string& path : options.paths) {
          if (!walker.walk(path, toRecord)) return;
        }
        if (list != nullptr) {
          PathList paths(list, options.nulSeparated);
          std::string path;
          while (paths.next(path)) {
            if (!walker.walk(path, toRecord)) return;
          }
          if (paths.error() != 0 && paths.error() != EINTR) listError = paths.error();
          if (paths.error() == EINTR) return;
        }
        // Images come after the paths and lists, in the order named, each
        // read by a child process of its own.
        for (const std::string& image : options.images) {
          const bool more = scanImageInChild(childSettings(options), image, tally, gSignal,
                                             [&](report::ScanRecord& found) {
                                               task = ScanTask{};
                                               return emit(found, task);
                                             });
          if (!more) return;
        }
      },
      [&](report::ScanRecord& record) {
        const auto write = [&](report::ScanRecord& written) {
          if (!out.ok()) return false;
          meter.add(written);
          writer.append(written, out.buffer());
          if (escapeOut && out.buffer().size() >= report::OutputStream::kFlushSize) {
            meter.clearLine();
          }
          out.flushIfFull();
          return out.ok();
        };
        // A container's members take its place, in its order, read by the
        // container child; one in a disk image, by the child that reads
        // disk images.
        if (!record.containerFormat.empty()) {
          return (record.imageFile.empty() ? containers : imageContainers)
              .scan(record, gSignal, write);
        }
        return write(record);
      },
      [&] {
        // Records and the progress line may share one terminal.
        if (escapeOut && !out.buffer().empty()) meter.clearLine();
        out.flush();
        meter.tick();
      });
  // Whatever stopped the scan, what was written stays a whole document,
  // which says so when a signal stopped it.
  const int stoppedBy = gSignal.load();
  writer.appendFooter(out.buffer(), stoppedBy == SIGINT    ? "SIGINT"
                                    : stoppedBy == SIGTERM ? "SIGTERM"
                                    : stoppedBy != 0       ? "a signal"
                                                           : "");
  if (escapeOut) meter.clearLine();
  out.flush();
  cancelCount.store(true);
  if (counter.joinable()) counter.join();
  if (list != nullptr && list != stdin) (void)std::fclose(list);  // read only: nothing to lose
  meter.clearLine();  // for good: tick() is not called again

  int status = meter.payloads() > 0 ? 1 : meter.errors() > 0 ? 2 : 0;
  if (listError != 0) {
    meter.writeLine("quillmark-scan: cannot read " + options.filesFrom + ": " +
                    std::strerror(listError) + "\n");
    if (status == 0) status = 2;
  }
  if (!out.ok() && !out.brokenPipe()) {
    meter.writeLine(std::string("quillmark-scan: error writing standard output: ") +
                    std::strerror(out.error()) + "\n");
    status = 2;
  }
  // A reader that went away (DIR | head) ends the scan quietly.
  if (!options.quiet && !out.brokenPipe()) meter.writeLine(meter.summary());
  const int signal = gSignal.load();
  return signal != 0 ? 128 + signal : status;
}

}  // namespace

int main(int argc, char** argv) {
  quillmark::scan::nameLocalTimeZone();
  // A closed pipe shows as EPIPE from write, not as a fatal signal.
  (void)::signal(SIGPIPE, SIG_IGN);
  // As given: parsing moves the options ahead of the paths.
  const std::vector<std::string> arguments(argv, argv + argc);
  const ParsedCommandLine parsed = parseCommandLine(argc, argv);
  switch (parsed.action) {
    case ParsedCommandLine::Action::kHelp:
      return writeInfo(helpText());
    case ParsedCommandLine::Action::kVersion:
      return writeInfo("quillmark-scan " QUILLMARK_VERSION "\n");
    case ParsedCommandLine::Action::kUsageError:
      return usageError(parsed.error);
    case ParsedCommandLine::Action::kScan:
      break;
  }
  if (parsed.options.hashes != report::DigestSet{} && !ContentDigests::available()) {
    (void)report::writeFully(STDERR_FILENO,
                             "quillmark-scan: --hash: this build cannot take digests (it was built "
                             "without libcrypto: install libssl-dev, and rebuild)\n");
    return 2;
  }
  if (!parsed.options.images.empty() && !kReadsDiskImages) {
    (void)report::writeFully(
        STDERR_FILENO,
        "quillmark-scan: --image: this build cannot read disk images (it was built "
        "without The Sleuth Kit: install libtsk-dev and libewf-dev, and rebuild)\n");
    return 2;
  }
  catchStopSignals(onSignal);
  if (parsed.options.imageChild != Options::ImageChild::kNone) {
    return usageError(std::string("--image-child and --image-count are ") + kImageProgram + "'s");
  }
  if (parsed.options.containerChild) {
    return usageError(std::string("--container-child is ") + kContainerProgram + "'s");
  }
  return scan(parsed.options, arguments);
}

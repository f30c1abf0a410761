#include "scan/image_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
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
#include "scan/record_codec.h"
#include "scan/record_scanner.h"
#include "scan/scan_pipeline.h"

namespace quillmark::scan {

namespace {

using Clock = std::chrono::steady_clock;
using disk_image::ImageEntry;
using disk_image::ImageWalker;

// The path of this program's file, or "" when it has none (deleted since).
std::string ownPath() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return "";
  const std::string said(path, static_cast<std::size_t>(length));
  constexpr std::string_view kDeleted = " (deleted)";
  const bool deleted = said.size() > kDeleted.size() &&
                       said.compare(said.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0;
  return deleted ? "" : said;
}

// A child process running this program, with its standard output on a pipe
// that the parent reads. Stopped and reaped when it goes out of scope.
class Child {
 public:
  Child() = default;
  ~Child() {
    if (pid_ > 0) {
      stop();
      wait();
    }
    if (output_ >= 0) ::close(output_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts this program with `arguments`; false with `error` set when it
  // cannot be started.
  bool start(const std::vector<std::string>& arguments, std::string& error) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      error = std::strerror(errno);
      return false;
    }
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // The image is read by this very program, whatever name it was run by:
    // by the path the kernel knows it by (a tool that runs the program,
    // such as valgrind, answers for it there, while /proc/self/exe is the
    // tool itself), or, when that file is gone, by the kernel's own link.
    const std::string self = ownPath();
    int failed = ENOENT;
    if (!self.empty()) {
      failed = posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv.data(), environ);
    }
    if (failed != 0) {
      failed = posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    output_ = ends[0];
    if (failed != 0) {
      pid_ = -1;
      error = std::strerror(failed);
      return false;
    }
    return true;
  }

  int output() const { return output_; }
  void stop() const {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
  }
  // Reaps the child; returns its wait status.
  int wait() {
    int status = 0;
    while (pid_ > 0 && ::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

std::vector<std::string> childArguments(const ImageChildSettings& settings, const char* mode,
                                        const std::string& image) {
  std::vector<std::string> arguments = {"quillmark-scan", mode, "-j",
                                        std::to_string(settings.jobs)};
  if (settings.bmpOnly) arguments.emplace_back("--bmp-only");
  std::string hashes;
  for (std::size_t i = 0; i < report::kDigestAlgorithms; ++i) {
    if (!settings.hashes[i]) continue;
    hashes += hashes.empty() ? "--hash=" : ",";
    hashes += report::digestName(static_cast<report::DigestAlgorithm>(i));
  }
  if (!hashes.empty()) arguments.push_back(hashes);
  if (settings.hashAll) arguments.emplace_back("--hash-all");

  if (settings.carve) arguments.emplace_back("--carve");
  if (settings.all) arguments.emplace_back("--all");
  if (settings.pictures) arguments.emplace_back("--format=html");
  arguments.push_back("--image=" + image);
  return arguments;
}

// Runs a child and hands `onFrame` each frame it sends, until it ends. Any
// frame is progress; a child that sends none for the timeout is stopped.
// Returns why the child failed, or nothing when it ended cleanly or was
// stopped because `onFrame` returned false or `stopping` said so (then
// `stopped` is set).
std::optional<std::string> runChild(const ImageChildSettings& settings,
                                    const std::vector<std::string>& arguments,
                                    const std::function<bool()>& stopping,
                                    const std::function<bool(const FrameReader&)>& onFrame,
                                    bool& stopped) {
  stopped = false;
  Child child;
  std::string error;
  if (!child.start(arguments, error))
    return "cannot start the process that reads the image: " + error;
  FrameReader frames;
  PageAlignedBuffer buffer(std::size_t{64} * 1024);
  if (buffer.data() == nullptr) return std::string("out of memory");
  Clock::time_point lastProgress = Clock::now();
  bool timedOut = false;
  bool damaged = false;
  for (;;) {
    if (stopping()) {
      child.stop();
      stopped = true;
      return std::nullopt;
    }
    pollfd ready{child.output(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, 100);
    if (polled > 0) {
      const ssize_t got = ::read(child.output(), buffer.data(), buffer.capacity());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // the child is done, or gone
      frames.append(buffer.data(), static_cast<std::size_t>(got));
      FrameReader::Next next;
      while ((next = frames.next()) == FrameReader::Next::kFrame) {
        if (!onFrame(frames)) {
          child.stop();
          stopped = true;
          return std::nullopt;
        }
      }
      if (next == FrameReader::Next::kCorrupt) {
        child.stop();
        damaged = true;
        break;
      }
      lastProgress = Clock::now();
    }
    if (Clock::now() - lastProgress > std::chrono::seconds(settings.timeout)) {
      child.stop();
      timedOut = true;
      break;
    }
  }
  const int status = child.wait();
  if (timedOut) {
    return "gave up on the image: the disk image library made no progress on it for " +
           std::to_string(settings.timeout) + " s";
  }
  if (damaged) return "the process that reads the image sent damaged records";
  if (WIFSIGNALED(status)) {
    return "the disk image library failed on the image: the process that reads it died of "
           "signal " +
           std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "the process that reads the image failed with status " +
           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  if (frames.pending() != 0) return "the process that reads the image stopped inside a record";
  return std::nullopt;
}

// The library sizes its tables from the image's metadata, which a hostile
// image can make enormous (the fuzzer found one that had it allocate 5 GB
// in ten seconds). The child's memory is capped, so that such an allocation
// fails inside the library, as an error of that image, rather than
// exhausting the machine. A sanitizer reserves terabytes of address space
// for itself, so a sanitized build is left uncapped.
void capMemory() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(QUILLMARK_SANITIZED)
  constexpr rlim_t kChildMemory = rlim_t{4} << 30;  // 4 GiB
  const rlimit cap{kChildMemory, kChildMemory};
  (void)::setrlimit(RLIMIT_DATA, &cap);
#endif
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
      settings, childArguments(settings, "--image-child", image),
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
      settings, childArguments(settings, "--image-count", image), [&] { return cancel.load(); },
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

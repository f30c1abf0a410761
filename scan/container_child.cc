#include "scan/container_child.h"

#include <atomic>
#include <chrono>
#include <memory>

#include "report/output_stream.h"
#include "scan/container_request.h"
#include "scan/record_codec.h"

namespace quillmark::scan {

namespace {

// A child is replaced after this many containers, so that what a library
// leaks or keeps stays bounded.
constexpr unsigned kContainersPerChild = 1024;

std::vector<std::string> childArguments(const ContainerChildSettings& settings,
                                        const char* program) {
  std::vector<std::string> arguments = {program, "--container-child",
                                        "--max-depth=" + std::to_string(settings.maxDepth),
                                        "--max-members=" + std::to_string(settings.maxMembers)};
  if (settings.bmpOnly) arguments.emplace_back("--bmp-only");
  if (settings.jobs != 0) arguments.push_back("--jobs=" + std::to_string(settings.jobs));
  appendDigestOptions(settings.hashes, settings.hashAll, arguments);
  if (settings.pictures) arguments.emplace_back("--format=html");
  return arguments;
}

}  // namespace

ContainerChild::ContainerChild(const ContainerChildSettings& settings, const char* program)
    : settings_(settings), program_(program) {}

// The child ends on its own once its requests end, and is reaped: it is
// not killed, so that what it does at exit (a leak check) is done.
ContainerChild::~ContainerChild() { retire(); }

void ContainerChild::retire() {
  if (!child_) return;
  child_->closeInput();  // the child reads the end of its requests, and ends
  // A child that does not end within the timeout (a library stuck in its
  // clean-up) is stopped.
  if (!child_->exitsWithin(std::chrono::seconds(settings_.timeout))) child_->stop();
  (void)child_->wait();
  child_.reset();
}

bool ContainerChild::ask(const std::string& request, std::string& error) {
  // A child that ended since its last container is replaced, once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!child_) {
      child_ = std::make_unique<ChildProcess>();
      frames_ = FrameReader();
      served_ = 0;
      const std::string program = helperProgram(program_);
      if (program.empty()) {
        error = std::string("cannot find ") + program_ + " beside quillmark-scan";
        child_.reset();
        return false;
      }
      if (!child_->start(childArguments(settings_, program_), true, error, program)) {
        error.insert(0, "cannot start the process that reads the container: ");
        child_.reset();
        return false;
      }
    }
    if (report::writeFully(child_->input(), request) == 0) return true;
    child_->stop();
    (void)child_->wait();
    child_.reset();
  }
  error = "the process that reads the container takes no requests";
  return false;
}

bool ContainerChild::scan(const report::ScanRecord& outer, const std::atomic<int>& interrupt,
                          const std::function<bool(report::ScanRecord&)>& emit) {
  const ChildRun run{settings_.timeout, "the container", "the container library"};
  if (served_ >= kContainersPerChild) retire();
  const std::string request = encodeContainerRequest(ContainerRequest{
      outer.path, outer.imageFile.empty() ? std::string() : outer.image.value_or(""),
      outer.imageFile});
  std::optional<std::string> failure;
  std::string error;
  if (!ask(request, error)) failure = error;

  report::ScanRecord record;
  bool damaged = false;
  if (!failure) {
    const FramesEnd end = readFrames(
        *child_, frames_, settings_.timeout, [&] { return interrupt.load() != 0; },
        [&](const FrameReader& frame) {
          if (frame.kind() == FrameKind::kDone) return FrameAction::kFinished;
          if (frame.kind() != FrameKind::kRecord) return FrameAction::kContinue;
          if (!frame.record(record)) {
            damaged = true;
            return FrameAction::kStop;
          }
          // The member lies where its container does.
          record.image = outer.image;
          record.fsOffset = outer.fsOffset;
          record.fsType = outer.fsType;
          record.volume = outer.volume;
          record.inode = outer.inode;
          record.deleted = outer.deleted;
          record.partition = outer.partition;
          return emit(record) ? FrameAction::kContinue : FrameAction::kStop;
        });
    if (end == FramesEnd::kFinished) {
      ++served_;
      return true;
    }
    if (end == FramesEnd::kStopped && !damaged) {
      child_->stop();
      (void)child_->wait();
      child_.reset();
      return false;
    }
    if (end != FramesEnd::kEnded) child_->stop();
    const int status = child_->wait();
    failure = childFailure(run, damaged ? FramesEnd::kDamaged : end, status, frames_);
    if (!failure) failure = "the process that reads the container ended before it was read";
    child_.reset();
  }
  record = outer;
  record.containerFormat.clear();
  record.imageFile.clear();
  record.verdict = report::Verdict::kError;
  record.reason = *failure;
  return emit(record);
}

std::vector<std::pair<std::string, std::string>> containerLibraryVersions() {
  return helperLibraryVersions(kContainerProgram);
}

}  // namespace quillmark::scan

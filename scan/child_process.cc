#include "scan/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <string_view>
#include <thread>

#include "analysis/page_aligned_buffer.h"
#include "report/output_stream.h"

namespace quillmark::scan {

namespace {

using Clock = std::chrono::steady_clock;

// The path of this program's file, or "" when it has none (deleted since).
std::string ownProgramPath() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return "";
  const std::string said(path, static_cast<std::size_t>(length));
  constexpr std::string_view kDeleted = " (deleted)";
  const bool deleted = said.size() > kDeleted.size() &&
                       said.compare(said.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0;
  return deleted ? "" : said;
}

}  // namespace

std::string helperProgram(const char* name) {
  const std::string self = ownProgramPath();
  const std::string folder = self.substr(0, self.rfind('/') + 1);
  if (folder.empty()) return "";
  for (const std::string& candidate :
       {folder + name, folder + QUILLMARK_LIBEXEC_FROM_BIN "/" + name}) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::vector<std::pair<std::string, std::string>> helperLibraryVersions(const char* name) {
  std::vector<std::pair<std::string, std::string>> versions;
  const std::string program = helperProgram(name);
  ChildProcess child;
  std::string error;
  if (program.empty() || !child.start({name, "--versions"}, false, error, program)) {
    return versions;
  }
  std::string said;
  char block[4096];
  for (ssize_t got; (got = ::read(child.output(), block, sizeof block)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    said.append(block, static_cast<std::size_t>(got));
  }
  (void)child.wait();
  // A line per library: its name, a tab, its version.
  for (std::size_t at = 0; at < said.size();) {
    const std::size_t end = std::min(said.find('\n', at), said.size());
    const std::string line = said.substr(at, end - at);
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) versions.emplace_back(line.substr(0, tab), line.substr(tab + 1));
    at = end + 1;
  }
  return versions;
}

int tellLibraryVersions(const std::vector<std::pair<std::string, std::string>>& versions) {
  // A line per library: its name, a tab, its version.
  std::string said;
  for (const auto& [name, version] : versions) {
    said.append(name).append("\t").append(version).append("\n");
  }
  return report::writeFully(STDOUT_FILENO, said) == 0 ? 0 : 2;
}

void catchStopSignals(void (*handler)(int)) {
  struct sigaction stop {};
  stop.sa_handler = handler;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    stop();
    (void)wait();
  }
  closeInput();
  if (output_ >= 0) ::close(output_);
}

bool ChildProcess::start(const std::vector<std::string>& arguments, bool withInput,
                         std::string& error, const std::string& program) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return false;
  }
  int in[2] = {-1, -1};
  if (withInput && ::pipe2(in, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (withInput) {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  const int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  output_ = out[0];
  if (withInput) {
    ::close(in[0]);
    input_ = in[1];
  }
  if (failed != 0) {
    pid_ = -1;
    error = std::strerror(failed);
    return false;
  }
  return true;
}

void ChildProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void ChildProcess::stop() const {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

bool ChildProcess::exitsWithin(std::chrono::milliseconds time) const {
  const Clock::time_point until = Clock::now() + time;
  // A descriptor of the child's process turns readable the moment it ends:
  // waited on so, the child's end is not met up to a polling interval late
  // (every scan that opened a container waited for its child so).
  const int process = pid_ > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)) : -1;
  if (process >= 0) {
    pollfd ended{process, POLLIN, 0};
    int ready = 0;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      const auto timeout = std::clamp<std::int64_t>(left, 0, std::numeric_limits<int>::max());
      ready = ::poll(&ended, 1, static_cast<int>(timeout));
      if (ready >= 0 || errno != EINTR) break;
    }
    ::close(process);
    if (ready >= 0) return ready > 0;
  }
  // Without such descriptors (a kernel before 5.3), the child is looked at
  // every 10 ms.
  for (;;) {
    siginfo_t info{};
    // WNOWAIT leaves the child to be reaped by wait().
    if (pid_ <= 0 ||
        (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid_)) {
      return true;
    }
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int ChildProcess::wait() {
  int status = 0;
  while (pid_ > 0 && ::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

FramesEnd readFrames(ChildProcess& child, FrameReader& frames, unsigned timeout,
                     const std::function<bool()>& stopping,
                     const std::function<FrameAction(const FrameReader&)>& onFrame) {
  PageAlignedBuffer buffer(std::size_t{64} * 1024);
  if (buffer.data() == nullptr) return FramesEnd::kEnded;
  Clock::time_point lastProgress = Clock::now();
  for (;;) {
    if (stopping()) return FramesEnd::kStopped;
    pollfd ready{child.output(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, 100);
    if (polled > 0) {
      const ssize_t got = ::read(child.output(), buffer.data(), buffer.capacity());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return FramesEnd::kEnded;  // the child is done, or gone
      frames.append(buffer.data(), static_cast<std::size_t>(got));
      FrameReader::Next next;
      while ((next = frames.next()) == FrameReader::Next::kFrame) {
        switch (onFrame(frames)) {
          case FrameAction::kContinue:
            break;
          case FrameAction::kFinished:
            return FramesEnd::kFinished;
          case FrameAction::kStop:
            return FramesEnd::kStopped;
        }
      }
      if (next == FrameReader::Next::kCorrupt) return FramesEnd::kDamaged;
      lastProgress = Clock::now();
    }
    if (Clock::now() - lastProgress > std::chrono::seconds(timeout)) return FramesEnd::kTimedOut;
  }
}

std::optional<std::string> childFailure(const ChildRun& run, FramesEnd end, int status,
                                        const FrameReader& frames) {
  if (end == FramesEnd::kTimedOut) {
    return std::string("gave up on ") + run.what + ": " + run.library +
           " made no progress on it for " + std::to_string(run.timeout) + " s";
  }
  if (end == FramesEnd::kDamaged) {
    return std::string("the process that reads ") + run.what + " sent damaged records";
  }
  if (WIFSIGNALED(status)) {
    return std::string(run.library) + " failed on " + run.what +
           ": the process that reads it died of signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::string("the process that reads ") + run.what + " failed with status " +
           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  if (frames.pending() != 0) {
    return std::string("the process that reads ") + run.what + " stopped inside a record";
  }
  return std::nullopt;
}

std::optional<std::string> runChild(const ChildRun& run, const std::vector<std::string>& arguments,
                                    const std::function<bool()>& stopping,
                                    const std::function<bool(const FrameReader&)>& onFrame,
                                    bool& stopped) {
  stopped = false;
  const std::string& name = arguments.front();
  const std::string program = helperProgram(name.c_str());
  if (program.empty()) return "cannot find " + name + " beside quillmark-scan";
  ChildProcess child;
  std::string error;
  if (!child.start(arguments, false, error, program)) {
    return std::string("cannot start the process that reads ") + run.what + ": " + error;
  }
  FrameReader frames;
  const FramesEnd end = readFrames(child, frames, run.timeout, stopping, [&](const FrameReader& f) {
    return onFrame(f) ? FrameAction::kContinue : FrameAction::kStop;
  });
  if (end == FramesEnd::kStopped) {
    child.stop();
    stopped = true;
    return std::nullopt;
  }
  if (end != FramesEnd::kEnded) child.stop();
  return childFailure(run, end, child.wait(), frames);
}

// The library sizes its tables from the image's metadata, which a hostile
// image can make enormous (the fuzzer found one that had it allocate 5 GB
// in ten seconds). The child's memory is capped, so that such an allocation
// fails inside the library, as an error of that image, rather than
// exhausting the machine. A sanitizer reserves terabytes of address space
// for itself, so a sanitized build is left uncapped.
void capMemory() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(QUILLMARK_SANITIZED)
  constexpr rlim_t kChildMemory = rlim_t{4} << 30;  // 4 GiB
  const rlimit cap{kChildMemory, kChildMemory};
  (void)::setrlimit(RLIMIT_DATA, &cap);
#endif
}

}  // namespace quillmark::scan

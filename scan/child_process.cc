#include "scan/child_process.h"

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

#include "analysis/page_aligned_buffer.h"

namespace quillmark::scan {

namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

// Runs a child and hands `onFrame` each frame it sends, until it ends. Any
// frame is progress; a child that sends none for the timeout is stopped.
// Returns why the child failed, or nothing when it ended cleanly or was
// stopped because `onFrame` returned false or `stopping` said so (then
// `stopped` is set).
std::optional<std::string> runChild(const ChildRun& run, const std::vector<std::string>& arguments,
                                    const std::function<bool()>& stopping,
                                    const std::function<bool(const FrameReader&)>& onFrame,
                                    bool& stopped) {
  stopped = false;
  Child child;
  std::string error;
  if (!child.start(arguments, error))
    return std::string("cannot start the process that reads ") + run.what + ": " + error;
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
    if (Clock::now() - lastProgress > std::chrono::seconds(run.timeout)) {
      child.stop();
      timedOut = true;
      break;
    }
  }
  const int status = child.wait();
  if (timedOut) {
    return std::string("gave up on ") + run.what + ": " + run.library +
           " made no progress on it for " + std::to_string(run.timeout) + " s";
  }
  if (damaged) return std::string("the process that reads ") + run.what + " sent damaged records";
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

}  // namespace quillmark::scan

#ifndef QUILLMARK_SCAN_CHILD_PROCESS_H_
#define QUILLMARK_SCAN_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scan/record_codec.h"

namespace quillmark::scan {

// Hostile bytes are parsed by libraries in child processes of this program,
// one per disk image or container: a crash, a hang or a runaway allocation
// in the library then costs that child, never the scan. The child sends
// its records as frames (see record_codec.h).

// What a child reads and how long it may go without a frame.
struct ChildRun {
  unsigned timeout = 60;  // seconds without a frame before the child is stopped
  const char* what;       // "the image", for messages
  const char* library;    // "the disk image library", for messages
};

// A child process running one of the programs the scanner starts, its
// standard output on a pipe the parent reads, and its standard input on a
// pipe the parent writes, or on /dev/null. Stopped and reaped when it goes
// out of scope.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `arguments`; false with `error` set when it
  // cannot be started.
  bool start(const std::vector<std::string>& arguments, bool withInput, std::string& error,
             const std::string& program);

  int input() const { return input_; }  // -1 without input, or once closed
  int output() const { return output_; }
  // Closes the child's input: it reads the end of it.
  void closeInput();
  // Kills the child (it is reaped by wait()).
  void stop() const;
  // Reaps the child; returns its wait status.
  int wait();
  // True once the child has ended, within `time` (it is reaped by wait()).
  bool exitsWithin(std::chrono::milliseconds time) const;

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
};

// The path of the program `name` that this one starts to read disk images
// or containers: beside this one (in the build tree), else where it is
// installed, in the libexec folder relative to this one's; "" when there is
// none.
std::string helperProgram(const char* name);

// The libraries the helper program `name` links, as it tells them when
// asked (--versions): a name and a version each; empty when it cannot be run.
std::vector<std::pair<std::string, std::string>> helperLibraryVersions(const char* name);

// The helper's side of that question: writes `versions` to standard output,
// a line each; returns the helper's exit status.
int tellLibraryVersions(const std::vector<std::pair<std::string, std::string>>& versions);

// Has SIGINT and SIGTERM call `handler`, without SA_RESTART, so that a
// blocking read returns when one comes.
void catchStopSignals(void (*handler)(int));

// What to do after a frame.
enum class FrameAction {
  kContinue,  // read on
  kFinished,  // the child has done what was asked: stop reading, leave it be
  kStop,      // the scan stops
};

// How the reading of a child's frames ended.
enum class FramesEnd { kEnded, kFinished, kStopped, kTimedOut, kDamaged };

// Reads the frames `child` sends into `frames` and hands each to `onFrame`,
// until the child's output ends (kEnded), `onFrame` says kFinished or kStop,
// `stopping` says so (kStopped), the child sends nothing for `timeout`
// seconds (kTimedOut), or sends what is not a frame (kDamaged). The child is
// left as it is.
FramesEnd readFrames(ChildProcess& child, FrameReader& frames, unsigned timeout,
                     const std::function<bool()>& stopping,
                     const std::function<FrameAction(const FrameReader&)>& onFrame);

// Why a child failed, from how its frames ended (not kStopped) and its wait
// status; nothing when it ended cleanly.
std::optional<std::string> childFailure(const ChildRun& run, FramesEnd end, int status,
                                        const FrameReader& frames);

// Runs the helper program that `arguments` names first with `arguments`,
// and hands `onFrame` each frame it sends, until it ends. Any frame is
// progress; a child that sends none for the timeout is stopped. Returns why the child failed, or
// nothing when it ended cleanly or was stopped because `onFrame` returned false or `stopping` said
// so (then `stopped` is set).
std::optional<std::string> runChild(const ChildRun& run, const std::vector<std::string>& arguments,
                                    const std::function<bool()>& stopping,
                                    const std::function<bool(const FrameReader&)>& onFrame,
                                    bool& stopped);

// Caps the memory of the calling child process, so that a library that
// sizes its tables from hostile metadata fails inside itself rather than
// exhausting the machine.
void capMemory();

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_CHILD_PROCESS_H_

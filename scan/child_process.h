#ifndef QUILLMARK_SCAN_CHILD_PROCESS_H_
#define QUILLMARK_SCAN_CHILD_PROCESS_H_

#include <functional>
#include <optional>
#include <string>
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

// Runs this program with `arguments` and hands `onFrame` each frame it
// sends, until it ends. Any frame is progress; a child that sends none for
// the timeout is stopped. Returns why the child failed, or nothing when it
// ended cleanly or was stopped because `onFrame` returned false or
// `stopping` said so (then `stopped` is set).
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

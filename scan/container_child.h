#ifndef QUILLMARK_SCAN_CONTAINER_CHILD_H_
#define QUILLMARK_SCAN_CONTAINER_CHILD_H_

#include <atomic>
#include <functional>

#include "report/scan_record.h"
#include "scan/options.h"

namespace quillmark::scan {

// Containers (archives, compressed files) are read in child processes, one
// per container file: the scanner runs itself with --container-child, and
// the child walks the container through libarchive, containers inside it
// included, analyses each member as it streams, and sends a record per
// member back as frames. When the library crashes or hangs on hostile
// bytes, only that child ends, and the container is one error record.

// How the children of a scan are run.
struct ContainerChildSettings {
  bool bmpOnly = false;
  report::DigestSet hashes{};
  bool hashAll = false;
  bool all = false;
  bool pictures = false;
  unsigned maxDepth = Options::kDefaultMaxDepth;
  unsigned timeout = Options::kDefaultImageTimeout;  // seconds without a frame
};

// Scans the container that `outer` is (a file the scan found, its
// containerFormat set) in a child process, handing `emit` a record for
// each member in the container's order, each with the outer file's fields
// and its chain in `within`; then, if the container is damaged or the child
// failed, an error record of the container saying why. Stops the child and
// returns false when `emit` returns false or `interrupt` becomes non-zero.
bool scanContainerInChild(const ContainerChildSettings& settings, const report::ScanRecord& outer,
                          const std::atomic<int>& interrupt,
                          const std::function<bool(report::ScanRecord&)>& emit);

// The child's side: walks the one container of `options`, writing frames
// to standard output. Returns the exit status.
int runContainerChild(const Options& options);

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_CONTAINER_CHILD_H_

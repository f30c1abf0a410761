#ifndef QUILLMARK_SCAN_CONTAINER_CHILD_H_
#define QUILLMARK_SCAN_CONTAINER_CHILD_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "report/scan_record.h"
#include "scan/child_process.h"
#include "scan/options.h"
#include "scan/record_codec.h"

namespace quillmark::scan {

// Containers (archives, compressed files, mail) are read in a child
// process, kContainerProgram (kImageContainerProgram for those inside disk
// images), which alone links the container libraries:
// the scanner starts it with --container-child and writes it a request per
// container on its standard input; the child walks the
// container through its library (containers inside it included), analyses
// each member as it streams, sends a record per member back as frames, then
// a kDone frame, and waits for the next request. When a library crashes or
// hangs on hostile bytes, the child ends with that container, which is one
// error record, and the next container is read by a new child.

// The programs that walk containers, installed beside quillmark-scan or in
// its libexec folder: one for containers that are files, which loads no
// disk image library, and one for containers inside disk images.
inline constexpr char kContainerProgram[] = "quillmark-scan-containers";
inline constexpr char kImageContainerProgram[] = "quillmark-scan-image-containers";

// How the children of a scan are run.
struct ContainerChildSettings {
  bool bmpOnly = false;
  report::DigestSet hashes{};
  bool hashAll = false;
  bool all = false;
  bool pictures = false;
  unsigned maxDepth = Options::kDefaultMaxDepth;
  std::uint64_t maxMembers = Options::kDefaultMaxMembers;
  unsigned timeout = Options::kDefaultImageTimeout;  // seconds without a frame
  std::size_t jobs = 0;                              // --jobs as given; 0: the child's own default
};

// A container child of a scan, running `program`, started when the first
// container is met and replaced when it fails, and after a number of
// containers, so that what a library leaks stays bounded. Used from one
// thread.
class ContainerChild {
 public:
  ContainerChild(const ContainerChildSettings& settings, const char* program);
  ~ContainerChild();
  ContainerChild(const ContainerChild&) = delete;
  ContainerChild& operator=(const ContainerChild&) = delete;

  // Scans the container that `outer` is (a file the scan found, its
  // containerFormat set; in a disk image, its imageFile too), handing
  // `emit` a record for each member in the container's order, each with the
  // outer file's fields and its chain in `within`; then, if the container
  // is damaged or the child failed, an error record of the container
  // saying why. Stops the child and returns false when `emit` returns false
  // or `interrupt` becomes non-zero.
  bool scan(const report::ScanRecord& outer, const std::atomic<int>& interrupt,
            const std::function<bool(report::ScanRecord&)>& emit);

 private:
  // Hands the child `request`, starting one where none runs; false with
  // `error` set when no child takes it.
  bool ask(const std::string& request, std::string& error);
  // Ends the child once it has read its requests.
  void retire();

  ContainerChildSettings settings_;
  const char* program_;
  std::unique_ptr<ChildProcess> child_;
  FrameReader frames_;
  unsigned served_ = 0;  // containers the child has read
};

// The container libraries' versions, as kContainerProgram tells them: a
// name and a version each; empty when it cannot be run.
std::vector<std::pair<std::string, std::string>> containerLibraryVersions();

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_CONTAINER_CHILD_H_

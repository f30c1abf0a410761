// quillmark-scan-images: the program quillmark-scan starts to read one disk
// image (--image-child) or count its files (--image-count), with The Sleuth
// Kit and the image libraries, which only this program (and the walker of
// containers inside disk images) links. It is not meant to be run by hand.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "disk_image/image_walker.h"
#include "report/output_stream.h"
#include "scan/child_process.h"
#include "scan/image_child.h"
#include "scan/options.h"
#include "scan/time_zone.h"

namespace {

std::atomic<int> gSignal{0};

void onSignal(int signal) { gSignal.store(signal); }

}  // namespace

int main(int argc, char** argv) {
  using quillmark::scan::Options;
  using quillmark::scan::ParsedCommandLine;
  quillmark::scan::nameLocalTimeZone();
  // A closed pipe shows as EPIPE from write, not as a fatal signal.
  (void)::signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && std::strcmp(argv[1], "--versions") == 0) {
    return quillmark::scan::tellLibraryVersions(quillmark::disk_image::libraryVersions());
  }
  const ParsedCommandLine parsed = quillmark::scan::parseCommandLine(argc, argv);
  if (parsed.action != ParsedCommandLine::Action::kScan ||
      parsed.options.imageChild == Options::ImageChild::kNone) {
    (void)quillmark::report::writeFully(
        STDERR_FILENO, "quillmark-scan-images: this program is run by quillmark-scan\n");
    return 2;
  }
  quillmark::scan::catchStopSignals(onSignal);
  return quillmark::scan::runImageChild(parsed.options, gSignal);
}

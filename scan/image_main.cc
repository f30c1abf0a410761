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
    // A line per library: its name, a tab, its version.
    std::string said;
    for (const auto& [name, version] : quillmark::disk_image::libraryVersions()) {
      said.append(name).append("\t").append(version).append("\n");
    }
    return quillmark::report::writeFully(STDOUT_FILENO, said) == 0 ? 0 : 2;
  }
  const ParsedCommandLine parsed = quillmark::scan::parseCommandLine(argc, argv);
  if (parsed.action != ParsedCommandLine::Action::kScan ||
      parsed.options.imageChild == Options::ImageChild::kNone) {
    (void)quillmark::report::writeFully(
        STDERR_FILENO, "quillmark-scan-images: this program is run by quillmark-scan\n");
    return 2;
  }
  struct sigaction stop {};
  stop.sa_handler = onSignal;  // no SA_RESTART: a blocking read returns
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  return quillmark::scan::runImageChild(parsed.options, gSignal);
}

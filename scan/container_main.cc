// quillmark-scan-containers and quillmark-scan-image-containers (built from
// this one file, as QUILLMARK_PROGRAM): the programs quillmark-scan starts to
// walk the containers it meets (archives, compressed files, mail), one after
// another as it asks on standard input, with the container libraries that
// only these programs link; the second reads containers inside disk images.
// They are not meant to be run by hand.

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "report/output_stream.h"
#include "scan/child_process.h"
#include "scan/container_walk.h"
#include "scan/options.h"
#include "scan/time_zone.h"

namespace {

// An interrupt is the scanner's to act on: it stops this process when it
// stops reading.
void onSignal(int) {}

}  // namespace

int main(int argc, char** argv) {
  using quillmark::scan::ParsedCommandLine;
  quillmark::scan::nameLocalTimeZone();
  if (argc == 2 && std::strcmp(argv[1], "--versions") == 0) {
    return quillmark::scan::tellLibraryVersions(quillmark::scan::walkerLibraryVersions());
  }
  const ParsedCommandLine parsed = quillmark::scan::parseCommandLine(argc, argv);
  if (parsed.action != ParsedCommandLine::Action::kScan || !parsed.options.containerChild) {
    (void)quillmark::report::writeFully(
        STDERR_FILENO, QUILLMARK_PROGRAM ": this program is run by quillmark-scan\n");
    return 2;
  }
  quillmark::scan::catchStopSignals(onSignal);
  return quillmark::scan::runContainerChild(parsed.options);
}

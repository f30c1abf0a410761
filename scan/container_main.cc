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
    // A line per library: its name, a tab, its version.
    std::string said;
    for (const auto& [name, version] : quillmark::scan::walkerLibraryVersions()) {
      said.append(name).append("\t").append(version).append("\n");
    }
    return quillmark::report::writeFully(STDOUT_FILENO, said) == 0 ? 0 : 2;
  }
  const ParsedCommandLine parsed = quillmark::scan::parseCommandLine(argc, argv);
  if (parsed.action != ParsedCommandLine::Action::kScan || !parsed.options.containerChild) {
    (void)quillmark::report::writeFully(
        STDERR_FILENO, QUILLMARK_PROGRAM ": this program is run by quillmark-scan\n");
    return 2;
  }
  struct sigaction ignore {};
  ignore.sa_handler = onSignal;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, nullptr);
  sigaction(SIGTERM, &ignore, nullptr);
  return quillmark::scan::runContainerChild(parsed.options);
}

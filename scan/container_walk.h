#ifndef QUILLMARK_SCAN_CONTAINER_WALK_H_
#define QUILLMARK_SCAN_CONTAINER_WALK_H_

#include <string>
#include <utility>
#include <vector>

#include "scan/options.h"

namespace quillmark::scan {

// The side of quillmark-scan-containers, the program that walks containers
// for the scanner (see ContainerChild): walks the container named in
// `options`, or else each one its standard input asks for, writing the
// members' records as frames to standard output. Returns the exit status.
int runContainerChild(const Options& options);

// The container libraries this program is built with, and their versions.
std::vector<std::pair<std::string, std::string>> walkerLibraryVersions();

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_CONTAINER_WALK_H_

#ifndef QUILLMARK_SCAN_OPTIONS_H_
#define QUILLMARK_SCAN_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/digest_algorithm.h"
#include "report/format.h"

namespace quillmark::scan {

// The scanner's command line, parsed.
struct Options {
  std::vector<std::string> paths;
  std::vector<std::string> images;  // --image, in the order named
  bool carve = false;               // --carve: also the unallocated space of the images
  report::DigestSet hashes{};       // --hash: digests of the files with a payload
  bool hashAll = false;             // --hash-all: of every analysed file

  std::string filesFrom;  // empty: none; "-": standard input
  bool nulSeparated = false;
  bool bmpOnly = false;
  bool followAll = false;
  bool oneFileSystem = false;
  bool all = false;
  report::Format format = report::Format::kText;
  std::size_t jobs = 0;  // 0: the default for this machine
  bool quiet = false;
  // A disk image on which the library makes no progress for this long is
  // given up (it is read in a child process that is then stopped).
  unsigned imageTimeout = kDefaultImageTimeout;
  // The scanner runs itself as a child to read one disk image; how.
  enum class ImageChild { kNone, kScan, kCount };
  ImageChild imageChild = ImageChild::kNone;
  // Containers (archives, compressed files) are opened, to this depth; the
  // scanner runs itself as a child to read one container.
  bool containers = true;
  unsigned maxDepth = kDefaultMaxDepth;
  // Members analysed in one container, those inside it included, before
  // the rest of it is given up (a bomb of nested archives).
  std::uint64_t maxMembers = kDefaultMaxMembers;
  bool containerChild = false;
  // For a container child: the file in the one --image that is the
  // container, as disk_image::fileRefText writes it; empty for a host file.
  std::string imageFile;

  static constexpr unsigned kDefaultImageTimeout = 60;
  static constexpr unsigned kDefaultMaxDepth = 8;
  static constexpr std::uint64_t kDefaultMaxMembers = 1000000;
};

// What the command line asks for.
struct ParsedCommandLine {
  enum class Action { kScan, kHelp, kVersion, kUsageError };

  Action action = Action::kUsageError;
  Options options;
  std::string error;  // for kUsageError: what was wrong
};

// Parses `argv` with getopt_long. Options may come before, between and
// after the paths; "--" ends them.
ParsedCommandLine parseCommandLine(int argc, char** argv);

// Appends the options that ask for `hashes` ("--hash=md5,sha256") and,
// with `hashAll`, "--hash-all", as a child is run with them.
void appendDigestOptions(const report::DigestSet& hashes, bool hashAll,
                         std::vector<std::string>& arguments);

// The text of --help.
const char* helpText();

// Files read at once when -j is not given: enough to keep a cold device
// busy, not only the processors.
std::size_t defaultJobs();

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_OPTIONS_H_

#include "scan/options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace quillmark::scan {

namespace {

enum LongOnly {
  kFilesFrom = 256,
  kBmpOnly,
  kFormat,
  kImage,
  kCarve,
  kHash,
  kHashAll,
  kImageTimeout,
  kImageChild,      // internal: this process reads one image for its parent
  kImageCount,      // internal: this process counts one image's records for its parent
  kContainerChild,  // internal: this process reads one container for its parent
  kNoContainers,
  kMaxDepth,
  kMaxMembers,
  kImageFile,  // internal: the container child's file in its image
};

constexpr option kLongOptions[] = {
    {"files-from", required_argument, nullptr, kFilesFrom},
    {"image", required_argument, nullptr, kImage},
    {"carve", no_argument, nullptr, kCarve},
    {"hash", required_argument, nullptr, kHash},
    {"hash-all", no_argument, nullptr, kHashAll},
    {"image-timeout", required_argument, nullptr, kImageTimeout},
    {"image-child", no_argument, nullptr, kImageChild},
    {"image-count", no_argument, nullptr, kImageCount},
    {"container-child", no_argument, nullptr, kContainerChild},
    {"no-containers", no_argument, nullptr, kNoContainers},
    {"max-depth", required_argument, nullptr, kMaxDepth},
    {"max-members", required_argument, nullptr, kMaxMembers},
    {"image-file", required_argument, nullptr, kImageFile},
    {"null", no_argument, nullptr, '0'},
    {"bmp-only", no_argument, nullptr, kBmpOnly},
    {"follow", no_argument, nullptr, 'L'},
    {"one-file-system", no_argument, nullptr, 'x'},
    {"all", no_argument, nullptr, 'a'},
    {"format", required_argument, nullptr, kFormat},
    {"jobs", required_argument, nullptr, 'j'},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

ParsedCommandLine usageError(std::string error) {
  ParsedCommandLine parsed;
  parsed.action = ParsedCommandLine::Action::kUsageError;
  parsed.error = std::move(error);
  return parsed;
}

}  // namespace

const char* helpText() {
  return "Usage: quillmark-scan [OPTION]... PATH...\n"
         "  or:  quillmark-scan [OPTION]... --image=IMAGE...\n"
         "Tell which files under each PATH, or in each disk image, carry a Quillmark\n"
         "payload hidden in a 24-bit BMP image, with the hidden file's name and length.\n"
         "Directories are walked recursively, hidden entries included, in byte\n"
         "order of their names.\n"
         "\n"
         "      --files-from=FILE  also scan the paths listed in FILE, one per line\n"
         "                         (- for standard input)\n"
         "      --image=IMAGE      also scan the files of a disk image (raw, split,\n"
         "                         E01, VMDK, VHD, AFF), deleted ones included,\n"
         "                         without mounting it; repeatable\n"
         "      --carve            also carve bitmaps out of the images' unallocated\n"
         "                         space, and out of images with no file system\n"
         "      --hash=ALG[,ALG]...  digests of the whole content of every file with a\n"
         "                         payload: md5, sha1, sha256\n"
         "      --hash-all         digests of every analysed file (sha256 unless\n"
         "                         --hash names others)\n"
         "      --image-timeout=SECONDS  give up an image on which the disk image\n"

         "                         library makes no progress for SECONDS (default 60)\n"
         "  -0, --null             paths in --files-from end with a NUL byte\n"
         "      --bmp-only         skip files that do not begin with \"BM\"\n"
         "  -L, --follow           follow every symbolic link (named paths are\n"
         "                         always followed)\n"
         "  -x, --one-file-system  stay on the file systems of the named paths\n"
         "  -a, --all              text: a line for every file, not only payloads\n"
         "      --format=FORMAT    text (default), csv, jsonl, dfxml or html\n"
         "      --no-containers    read archives, compressed files and mail as plain\n"
         "                         files, without looking inside them\n"
         "      --max-depth=N      open containers inside containers to N levels in all\n"
         "                         (default 8)\n"
         "      --max-members=N    analyse at most N members of one container, those\n"
         "                         inside it included (default 1000000)\n"

         "  -j, --jobs=N           files read at once\n"
         "  -q, --quiet            no progress line and no summary\n"
         "  -h, --help             show this help and exit\n"
         "  -V, --version          show the version and exit\n"
         "\n"
         "Exit status: 0 no payload found, 1 a payload found, 2 a file could not be\n"
         "read or the command line was wrong, 130 or 143 interrupted.\n";
}

void appendDigestOptions(const report::DigestSet& hashes, bool hashAll,
                         std::vector<std::string>& arguments) {
  std::string option;
  for (std::size_t i = 0; i < report::kDigestAlgorithms; ++i) {
    if (!hashes[i]) continue;
    option += option.empty() ? "--hash=" : ",";
    option += report::digestName(static_cast<report::DigestAlgorithm>(i));
  }
  if (!option.empty()) arguments.push_back(option);
  if (hashAll) arguments.emplace_back("--hash-all");
}

std::size_t defaultJobs() {
  const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
  return std::clamp<std::size_t>(4 * std::size_t{cores}, 8, 64);
}

ParsedCommandLine parseCommandLine(int argc, char** argv) {
  ParsedCommandLine parsed;
  Options& options = parsed.options;
  optind = 0;  // 0, not 1: glibc then starts afresh, permutation state included
  opterr = 0;  // our own messages, in one format
  int option = 0;
  while ((option = getopt_long(argc, argv, ":0Lxaj:qhV", kLongOptions, nullptr)) != -1) {
    switch (option) {
      case kFilesFrom:
        options.filesFrom = optarg;
        break;
      case kImage:
        options.images.emplace_back(optarg);
        break;
      case kCarve:
        options.carve = true;
        break;
      case kHash: {
        const std::string list = optarg;
        for (std::size_t at = 0; at <= list.size();) {
          const std::size_t comma = std::min(list.find(',', at), list.size());
          const std::string name = list.substr(at, comma - at);
          bool known = false;
          for (std::size_t i = 0; i < report::kDigestAlgorithms; ++i) {
            if (name == report::digestName(static_cast<report::DigestAlgorithm>(i))) {
              options.hashes[i] = known = true;
            }
          }
          if (!known) {
            return usageError("unknown digest '" + name + "' (use md5, sha1 or sha256)");
          }
          at = comma + 1;
        }
        break;
      }
      case kHashAll:
        options.hashAll = true;
        break;
      case kImageTimeout: {
        char* end = nullptr;
        errno = 0;
        const long long seconds = std::strtoll(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno != 0 || seconds < 1 || seconds > 86400) {
          return usageError(std::string("invalid image timeout '") + optarg +
                            "' (1 to 86400 seconds)");
        }
        options.imageTimeout = static_cast<unsigned>(seconds);
        break;
      }
      case kImageChild:
        options.imageChild = Options::ImageChild::kScan;
        break;
      case kImageCount:
        options.imageChild = Options::ImageChild::kCount;
        break;
      case kContainerChild:
        options.containerChild = true;
        break;
      case kNoContainers:
        options.containers = false;
        break;
      case kImageFile:
        options.imageFile = optarg;
        break;
      case kMaxDepth: {
        char* end = nullptr;
        errno = 0;
        const long long depth = std::strtoll(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno != 0 || depth < 1 || depth > 64) {
          return usageError(std::string("invalid depth '") + optarg + "' (1 to 64)");
        }
        options.maxDepth = static_cast<unsigned>(depth);
        break;
      }
      case kMaxMembers: {
        char* end = nullptr;
        errno = 0;
        const unsigned long long members = std::strtoull(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno != 0 || members < 1 || *optarg == '-') {
          return usageError(std::string("invalid number of members '") + optarg + "'");
        }
        options.maxMembers = members;
        break;
      }
      case '0':
        options.nulSeparated = true;
        break;
      case kBmpOnly:
        options.bmpOnly = true;
        break;
      case 'L':
        options.followAll = true;
        break;
      case 'x':
        options.oneFileSystem = true;
        break;
      case 'a':
        options.all = true;
        break;
      case kFormat:
        if (std::strcmp(optarg, "text") == 0) {
          options.format = report::Format::kText;
        } else if (std::strcmp(optarg, "csv") == 0) {
          options.format = report::Format::kCsv;
        } else if (std::strcmp(optarg, "jsonl") == 0) {
          options.format = report::Format::kJsonl;
        } else if (std::strcmp(optarg, "dfxml") == 0) {
          options.format = report::Format::kDfxml;
        } else if (std::strcmp(optarg, "html") == 0) {
          options.format = report::Format::kHtml;
        } else {
          return usageError(std::string("unknown format '") + optarg +
                            "' (use text, csv, jsonl, dfxml or html)");
        }
        break;
      case 'j': {
        char* end = nullptr;
        errno = 0;
        const long long jobs = std::strtoll(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno != 0 || jobs < 1 || jobs > 1024) {
          return usageError(std::string("invalid number of jobs '") + optarg + "' (1 to 1024)");
        }
        options.jobs = static_cast<std::size_t>(jobs);
        break;
      }
      case 'q':
        options.quiet = true;
        break;
      case 'h':
        parsed.action = ParsedCommandLine::Action::kHelp;
        return parsed;
      case 'V':
        parsed.action = ParsedCommandLine::Action::kVersion;
        return parsed;
      case ':':
        return usageError(std::string("option ") + argv[optind - 1] + " needs an argument");
      default:
        return usageError("unknown option " + (optopt != 0
                                                   ? std::string("-") + static_cast<char>(optopt)
                                                   : std::string(argv[optind - 1])));
    }
  }
  // getopt_long has moved the paths behind the options, in their order.
  for (int i = optind; i < argc; ++i) options.paths.emplace_back(argv[i]);
  if (options.paths.empty() && options.filesFrom.empty() && options.images.empty() &&
      !options.containerChild) {
    return usageError("no path given");
  }
  if (options.hashAll && options.hashes == report::DigestSet{}) {
    options.hashes[static_cast<std::size_t>(report::DigestAlgorithm::kSha256)] = true;
  }
  if (options.carve && options.images.empty()) {
    return usageError("--carve needs an --image to carve");
  }
  if (options.imageChild != Options::ImageChild::kNone &&
      (options.images.size() != 1 || !options.paths.empty() || !options.filesFrom.empty())) {
    return usageError("--image-child and --image-count read exactly one --image");
  }
  // Without a path, the container child reads its requests on standard input.
  if (options.containerChild &&
      (options.paths.size() > 1 || options.images.size() != (options.imageFile.empty() ? 0 : 1) ||
       (options.paths.empty() && !options.imageFile.empty()))) {
    return usageError("--container-child reads one path, or one --image-file of an --image");
  }
  if (!options.imageFile.empty() && !options.containerChild) {
    return usageError("--image-file is for --container-child");
  }

  parsed.action = ParsedCommandLine::Action::kScan;
  return parsed;
}

}  // namespace quillmark::scan

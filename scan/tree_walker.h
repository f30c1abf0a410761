#ifndef QUILLMARK_SCAN_TREE_WALKER_H_
#define QUILLMARK_SCAN_TREE_WALKER_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scan/skip_reason.h"

namespace quillmark::scan {

// One thing the walk found: a file to analyse, or a path to report as
// skipped or unreadable without opening it.
struct WalkEntry {
  enum class Kind { kFile, kSkipped, kError };

  std::string path;
  Kind kind = Kind::kFile;
  bool followLink = false;              // a file named on the command line, or under -L
  std::string reason;                   // for kSkipped and kError
  SkipReason skip = SkipReason::kNone;  // for kSkipped
};

// Walks paths depth first, in an order that depends only on the tree: the
// entries of each directory in byte order of their names, hidden ones
// included, each subdirectory walked where its name falls. Symbolic links
// are followed when named as a root, and below only when `followAll` (with
// loop detection); `oneFileSystem` keeps the walk on the file systems of the
// roots. Only regular files become kFile entries; FIFOs, sockets, devices
// and links not followed are kSkipped, directories that cannot be read are
// kError. Nothing is ever opened but directories.
//
// The walk keeps no recursion: an explicit stack of the directories being
// walked, each holding the names it has yet to visit, so memory follows the
// depth and the widest directory, not the size of the tree.
class TreeWalker {
 public:
  struct Settings {
    bool followAll = false;
    bool oneFileSystem = false;
  };
  // Receives each entry in walk order; returns false to end the walk.
  using Sink = std::function<bool(WalkEntry&)>;

  explicit TreeWalker(Settings settings) : settings_(settings) {}

  // Walks `root`; returns false when `sink` ended the walk.
  bool walk(const std::string& root, const Sink& sink);

 private:
  // A directory on the stack and the names in it still to visit.
  struct Directory {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    std::string names;  // the names, each ended by a zero byte
    struct Name {
      std::uint32_t offset;  // into `names`
      unsigned char type;    // d_type, DT_UNKNOWN where the file system gives none
    };
    std::vector<Name> order;  // in byte order of the names
    std::size_t next = 0;
  };

  // Reads and sorts the entries of `directory.path`; false with errno set
  // when it cannot be read.
  static bool list(Directory& directory);
  // Handles a path whose type `mode` is known: a file or a skipped entry
  // goes to `sink`, a directory onto the stack. `info` holds the device and
  // inode of a directory when the settings need them.
  bool visit(std::string&& path, mode_t mode, const struct stat& info, bool followLink,
             const Sink& sink);

  Settings settings_;
  std::vector<Directory> stack_;
  dev_t rootDevice_ = 0;
  WalkEntry entry_;  // reused for every entry
};

// Why a file of type `mode`, which is not a regular file, is skipped.
SkipReason skipReasonFor(mode_t mode);

// The path of `name` inside the directory `directory`.
std::string joinPath(const std::string& directory, const char* name);

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_TREE_WALKER_H_

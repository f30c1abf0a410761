#ifndef QUILLMARK_TREE_TREE_WALKER_H_
#define QUILLMARK_TREE_TREE_WALKER_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillmark::tree {

// One thing the walk found: a regular file to analyse, or a path that is
// not one, told as it is found, without ever being opened.
struct WalkEntry {
  enum class Kind {
    kFile,             // a regular file
    kNotRegular,       // a FIFO, socket, device, ...: `type` tells which
    kLinkNotFollowed,  // a symbolic link met below a root, without followAll
    kBrokenLink,       // under followAll, a link whose target is gone or loops
    kLoop,             // under followAll, a directory already being walked
    kUnreadable,       // `what` failed on the path, with `error`
  };

  std::string path;
  Kind kind = Kind::kFile;
  bool followLink = false;  // a file named as a root, or under followAll
  mode_t type = 0;          // for kNotRegular: the file's type bits
  int error = 0;            // for kBrokenLink and kUnreadable: an errno value
  const char* what = "";    // for kUnreadable: "cannot open", "cannot read directory"
};

// Walks paths depth first, in an order that depends only on the tree: the
// entries of each directory in byte order of their names, hidden ones
// included, each subdirectory walked where its name falls. Symbolic links
// are followed when named as a root, and below only when `followAll` (with
// loop detection); `oneFileSystem` keeps the walk on the file systems of the
// roots. Nothing is ever opened but directories.
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
  // Hands `sink` the reused entry with `path` and `kind`; returns what it returns.
  bool emit(std::string&& path, WalkEntry::Kind kind, const Sink& sink);
  bool emitUnreadable(std::string&& path, const char* what, int error, const Sink& sink);

  Settings settings_;
  std::vector<Directory> stack_;
  dev_t rootDevice_ = 0;
  WalkEntry entry_;  // reused for every entry
};

// The path of `name` inside the directory `directory`.
std::string joinPath(const std::string& directory, const char* name);

}  // namespace quillmark::tree

#endif  // QUILLMARK_TREE_TREE_WALKER_H_

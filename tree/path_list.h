#ifndef QUILLMARK_TREE_PATH_LIST_H_
#define QUILLMARK_TREE_PATH_LIST_H_

#include <cstdio>
#include <string>

namespace quillmark::tree {

// The paths of a --files-from list, read one at a time as the scan needs
// them, so that a list of any length takes the memory of its longest path.
// Paths end with a newline, or with a NUL byte for lists from find -print0;
// empty entries are passed over, and a last path need not be ended.
class PathList {
 public:
  // Reads from `file`, which stays open and belongs to the caller.
  PathList(std::FILE* file, bool nulSeparated)
      : file_(file), separator_(nulSeparated ? '\0' : '\n') {}
  ~PathList();
  PathList(const PathList&) = delete;
  PathList& operator=(const PathList&) = delete;

  // Puts the next path in `path`. Returns false at the end of the list, or
  // when reading failed (error() then tells why, as an errno value) or was
  // interrupted by a signal.
  bool next(std::string& path);
  int error() const { return error_; }

 private:
  std::FILE* file_;
  int separator_;
  char* line_ = nullptr;
  std::size_t capacity_ = 0;
  int error_ = 0;
};

}  // namespace quillmark::tree

#endif  // QUILLMARK_TREE_PATH_LIST_H_

#include "tree/path_list.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

namespace quillmark::tree {

PathList::~PathList() { std::free(line_); }

bool PathList::next(std::string& path) {
  for (;;) {
    errno = 0;
    const ssize_t length = ::getdelim(&line_, &capacity_, separator_, file_);
    if (length < 0) {
      if (std::ferror(file_) != 0) error_ = errno == 0 ? EIO : errno;
      return false;
    }
    auto size = static_cast<std::size_t>(length);
    if (size > 0 && line_[size - 1] == static_cast<char>(separator_)) --size;
    if (size == 0) continue;
    path.assign(line_, size);
    return true;
  }
}

}  // namespace quillmark::tree

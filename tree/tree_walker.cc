#include "tree/tree_walker.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillmark::tree {

std::string joinPath(const std::string& directory, const char* name) {
  std::string path;
  path.reserve(directory.size() + 1 + std::strlen(name));
  path = directory;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

bool TreeWalker::list(Directory& directory) {
  DIR* const handle = ::opendir(directory.path.c_str());
  if (handle == nullptr) return false;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* const entry = ::readdir(handle);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const char* const name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    directory.order.push_back(
        Directory::Name{static_cast<std::uint32_t>(directory.names.size()), entry->d_type});
    directory.names.append(name, std::strlen(name) + 1);
  }
  ::closedir(handle);
  if (error != 0) {
    errno = error;
    return false;
  }
  const char* const names = directory.names.data();
  // strcmp compares bytes as unsigned values: byte order of the names.
  std::sort(directory.order.begin(), directory.order.end(),
            [names](const Directory::Name& a, const Directory::Name& b) {
              return std::strcmp(names + a.offset, names + b.offset) < 0;
            });
  return true;
}

bool TreeWalker::emit(std::string&& path, WalkEntry::Kind kind, const Sink& sink) {
  entry_.path = std::move(path);
  entry_.kind = kind;
  return sink(entry_);
}

bool TreeWalker::emitUnreadable(std::string&& path, const char* what, int error, const Sink& sink) {
  entry_.what = what;
  entry_.error = error;
  return emit(std::move(path), WalkEntry::Kind::kUnreadable, sink);
}

bool TreeWalker::visit(std::string&& path, mode_t mode, const struct stat& info, bool followLink,
                       const Sink& sink) {
  entry_.followLink = followLink;
  if (S_ISREG(mode)) return emit(std::move(path), WalkEntry::Kind::kFile, sink);
  if (!S_ISDIR(mode)) {
    entry_.type = mode & S_IFMT;
    return emit(std::move(path), WalkEntry::Kind::kNotRegular, sink);
  }
  if (settings_.oneFileSystem && info.st_dev != rootDevice_) return true;
  if (settings_.followAll) {
    for (const Directory& open : stack_) {
      if (open.device == info.st_dev && open.inode == info.st_ino) {
        return emit(std::move(path), WalkEntry::Kind::kLoop, sink);
      }
    }
  }
  Directory directory;
  directory.path = std::move(path);
  directory.device = info.st_dev;
  directory.inode = info.st_ino;
  if (!list(directory)) {
    return emitUnreadable(std::move(directory.path), "cannot read directory", errno, sink);
  }
  stack_.push_back(std::move(directory));
  return true;
}

bool TreeWalker::walk(const std::string& root, const Sink& sink) {
  stack_.clear();
  struct stat info {};
  // A root is followed if it is a symbolic link, as with find -H.
  if (::stat(root.c_str(), &info) != 0) {
    entry_.followLink = true;
    return emitUnreadable(std::string(root), "cannot open", errno, sink);
  }
  rootDevice_ = info.st_dev;
  if (!visit(std::string(root), info.st_mode, info, true, sink)) return false;

  // Settings that compare directories need their device and inode.
  const bool needIdentity = settings_.oneFileSystem || settings_.followAll;
  while (!stack_.empty()) {
    Directory& top = stack_.back();
    if (top.next == top.order.size()) {
      stack_.pop_back();
      continue;
    }
    const Directory::Name name = top.order[top.next++];
    std::string path = joinPath(top.path, top.names.data() + name.offset);
    // `top` is not used past here: visit may grow the stack.
    auto mode = static_cast<mode_t>(DTTOIF(name.type));
    info = {};
    const bool link = name.type == DT_LNK;
    if (name.type == DT_UNKNOWN || (name.type == DT_DIR && needIdentity) ||
        (link && settings_.followAll)) {
      const int status =
          settings_.followAll ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
      if (status != 0) {
        const int error = errno;
        entry_.followLink = settings_.followAll;
        // Under -L a link whose target is gone or loops is reported as
        // such, as find -L lists it without following.
        const bool brokenLink =
            settings_.followAll && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
        entry_.error = error;
        bool more = false;
        if (brokenLink) {
          more = emit(std::move(path), WalkEntry::Kind::kBrokenLink, sink);
        } else {
          more = emitUnreadable(std::move(path), "cannot open", error, sink);
        }
        if (!more) return false;

        continue;
      }
      mode = info.st_mode;
    }
    if (S_ISLNK(mode)) {
      entry_.followLink = false;
      if (!emit(std::move(path), WalkEntry::Kind::kLinkNotFollowed, sink)) return false;
      continue;
    }
    if (!visit(std::move(path), mode, info, settings_.followAll, sink)) return false;
  }
  return true;
}

}  // namespace quillmark::tree

#include "scan/tree_walker.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quillmark::scan {

namespace {

std::string withError(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

}  // namespace

SkipReason skipReasonFor(mode_t mode) {
  if (S_ISDIR(mode)) return SkipReason::kDirectory;
  if (S_ISFIFO(mode)) return SkipReason::kFifo;
  if (S_ISSOCK(mode)) return SkipReason::kSocket;
  if (S_ISCHR(mode)) return SkipReason::kCharacterDevice;
  if (S_ISBLK(mode)) return SkipReason::kBlockDevice;
  if (S_ISLNK(mode)) return SkipReason::kSymbolicLink;
  return SkipReason::kOtherType;
}

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

bool TreeWalker::visit(std::string&& path, mode_t mode, const struct stat& info, bool followLink,
                       const Sink& sink) {
  entry_.reason.clear();
  entry_.skip = SkipReason::kNone;
  entry_.followLink = followLink;
  if (S_ISREG(mode)) {
    entry_.path = std::move(path);
    entry_.kind = WalkEntry::Kind::kFile;
    return sink(entry_);
  }
  if (!S_ISDIR(mode)) {
    entry_.path = std::move(path);
    entry_.kind = WalkEntry::Kind::kSkipped;
    entry_.skip = skipReasonFor(mode);
    entry_.reason = skipReasonText(entry_.skip);
    return sink(entry_);
  }
  if (settings_.oneFileSystem && info.st_dev != rootDevice_) return true;
  if (settings_.followAll) {
    for (const Directory& open : stack_) {
      if (open.device == info.st_dev && open.inode == info.st_ino) {
        entry_.path = std::move(path);
        entry_.kind = WalkEntry::Kind::kSkipped;
        entry_.skip = SkipReason::kFileSystemLoop;
        entry_.reason = skipReasonText(entry_.skip);
        return sink(entry_);
      }
    }
  }
  Directory directory;
  directory.path = std::move(path);
  directory.device = info.st_dev;
  directory.inode = info.st_ino;
  if (!list(directory)) {
    entry_.path = std::move(directory.path);
    entry_.kind = WalkEntry::Kind::kError;
    entry_.reason = withError("cannot read directory", errno);
    return sink(entry_);
  }
  stack_.push_back(std::move(directory));
  return true;
}

bool TreeWalker::walk(const std::string& root, const Sink& sink) {
  stack_.clear();
  struct stat info {};
  // A root is followed if it is a symbolic link, as with find -H.
  if (::stat(root.c_str(), &info) != 0) {
    entry_.path = root;
    entry_.kind = WalkEntry::Kind::kError;
    entry_.skip = SkipReason::kNone;
    entry_.followLink = true;
    entry_.reason = withError("cannot open", errno);
    return sink(entry_);
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
        entry_.path = std::move(path);
        entry_.followLink = settings_.followAll;
        // Under -L a link whose target is gone or loops is skipped, as
        // find -L lists it without following.
        const bool brokenLink = settings_.followAll && ::lstat(entry_.path.c_str(), &info) == 0 &&
                                S_ISLNK(info.st_mode);
        entry_.kind = brokenLink ? WalkEntry::Kind::kSkipped : WalkEntry::Kind::kError;
        entry_.skip = brokenLink ? SkipReason::kBrokenLink : SkipReason::kNone;
        entry_.reason = withError(brokenLink ? skipReasonText(entry_.skip) : "cannot open", error);
        if (!sink(entry_)) return false;
        continue;
      }
      mode = info.st_mode;
    }
    if (S_ISLNK(mode)) {
      entry_.path = std::move(path);
      entry_.kind = WalkEntry::Kind::kSkipped;
      entry_.followLink = false;
      entry_.skip = SkipReason::kSymbolicLink;
      entry_.reason = skipReasonText(entry_.skip);
      if (!sink(entry_)) return false;
      continue;
    }
    if (!visit(std::move(path), mode, info, settings_.followAll, sink)) return false;
  }
  return true;
}

}  // namespace quillmark::scan

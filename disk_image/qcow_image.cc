#include "disk_image/qcow_image.h"

#include <libqcow.h>
#include <pthread.h>

#include <cstdio>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "disk_image/disk_image.h"

namespace quillmark::disk_image {

namespace {

// Backing files beyond this many are taken for a loop.
constexpr std::size_t kMaxChain = 16;

// libqcow's message, the closest to the cause of those it stacks.
std::string describe(libqcow_error_t* error) {
  char text[512] = {};
  if (error == nullptr || libqcow_error_sprint(error, text, sizeof text) < 0) {
    libqcow_error_free(&error);
    return "libqcow failed";
  }
  libqcow_error_free(&error);
  return closestCause(text);
}

struct QcowFileCloser {
  void operator()(libqcow_file_t* file) const {
    libqcow_file_close(file, nullptr);
    libqcow_file_free(&file, nullptr);
  }
};
using QcowFile = std::unique_ptr<libqcow_file_t, QcowFileCloser>;

// The image and its backing files, the image first; each set as the parent
// of the one before it.
struct QcowChain {
  QcowChain() = default;
  QcowChain(const QcowChain&) = delete;
  QcowChain& operator=(const QcowChain&) = delete;
  // An image is closed before the backing file it reads through.
  ~QcowChain() {
    for (QcowFile& file : files) file.reset();
  }

  std::vector<QcowFile> files;
};

// The folder part of `path`, with its slash; empty for a bare name.
std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The backing file `file` records, or empty when it has none.
bool backingFileOf(libqcow_file_t* file, std::string& name, std::string& error) {
  name.clear();
  libqcow_error_t* failure = nullptr;
  std::size_t size = 0;
  const int has = libqcow_file_get_utf8_backing_filename_size(file, &size, &failure);
  if (has < 0) {
    error = describe(failure);
    return false;
  }
  if (has == 0 || size <= 1) return true;
  std::vector<std::uint8_t> text(size);
  if (libqcow_file_get_utf8_backing_filename(file, text.data(), size, &failure) != 1) {
    error = describe(failure);
    return false;
  }
  name.assign(reinterpret_cast<const char*>(text.data()));
  return true;
}

QcowFile openOne(const std::string& path, std::string& error) {
  libqcow_error_t* failure = nullptr;
  libqcow_file_t* raw = nullptr;
  if (libqcow_file_initialize(&raw, &failure) != 1) {
    error = describe(failure);
    return nullptr;
  }
  if (libqcow_file_open(raw, path.c_str(), LIBQCOW_OPEN_READ, &failure) != 1) {
    error = describe(failure);
    libqcow_file_free(&raw, nullptr);
    return nullptr;
  }
  QcowFile file(raw);
  std::uint32_t method = LIBQCOW_ENCRYPTION_METHOD_NONE;
  if (libqcow_file_get_encryption_method(raw, &method, &failure) != 1) {
    error = describe(failure);
    return nullptr;
  }
  if (method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
    error = "encrypted QCOW image, not read (no key handling)";
    return nullptr;
  }
  return file;
}

// Opens the image at `path` and its chain of backing files.
bool openChain(const std::string& path, QcowChain& chain, std::string& error) {
  std::string at = path;
  for (;;) {
    if (chain.files.size() > kMaxChain) {
      error = "more than " + std::to_string(kMaxChain) + " QCOW backing files: a loop?";
      return false;
    }
    QcowFile file = openOne(at, error);
    if (file == nullptr) {
      if (chain.files.empty()) return false;
      error.insert(0, std::string("cannot open the QCOW backing file ").append(at).append(": "));
      return false;
    }
    std::string backing;
    if (!backingFileOf(file.get(), backing, error)) return false;
    if (!chain.files.empty()) {
      libqcow_error_t* failure = nullptr;
      if (libqcow_file_set_parent_file(chain.files.back().get(), file.get(), &failure) != 1) {
        error = describe(failure);
        return false;
      }
    }
    chain.files.push_back(std::move(file));
    if (backing.empty()) return true;
    const std::string next = backing.front() == '/' ? backing : folderOf(at) + backing;
    if (libqcow_check_file_signature(next.c_str(), nullptr) != 1) {
      std::FILE* const exists = std::fopen(next.c_str(), "rb");
      if (exists == nullptr) {
        error = std::string("the QCOW backing file ")
                    .append(backing)
                    .append(" is missing (looked for ")
                    .append(next)
                    .append(")");
      } else {
        (void)std::fclose(exists);
        error = "the QCOW backing file " + backing +
                " is not a QCOW image; convert the chain with qemu-img convert -O raw";
      }
      return false;
    }
    at = next;
  }
}

// The Sleuth Kit's view of the image comes first, so that it can cast one
// to the other.
struct QcowImage {
  TSK_IMG_INFO info;
  QcowChain chain;
};

ssize_t readQcow(TSK_IMG_INFO* info, TSK_OFF_T offset, char* buffer, size_t length) {
  QcowImage& self = *reinterpret_cast<QcowImage*>(info);
  libqcow_error_t* failure = nullptr;
  const ssize_t got = libqcow_file_read_buffer_at_offset(self.chain.files.front().get(), buffer,
                                                         length, offset, &failure);
  if (got < 0) {
    const std::string error = describe(failure);
    tsk_error_reset();
    tsk_error_set_errno(TSK_ERR_IMG_READ);
    tsk_error_set_errstr("%s", error.c_str());
  }
  return got;
}

void closeQcow(TSK_IMG_INFO* info) {
  QcowImage* const self = reinterpret_cast<QcowImage*>(info);
  pthread_mutex_destroy(&self->info.cache_lock.mutex);
  delete self;
}

void statQcow(TSK_IMG_INFO*, FILE* out) { (void)std::fputs("Image Type: qcow\n", out); }

}  // namespace

bool qcowImagesSupported() { return true; }

std::string qcowLibraryVersion() { return libqcow_get_version(); }

TSK_IMG_INFO* openQcowImage(const std::string& path, std::string& error) {
  // The Sleuth Kit's view holds a read cache: zeroed on the heap.
  auto* const self = new (std::nothrow) QcowImage();
  if (self == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  size64_t mediaSize = 0;
  libqcow_error_t* failure = nullptr;
  if (!openChain(path, self->chain, error)) {
    delete self;
    return nullptr;
  }
  if (libqcow_file_get_media_size(self->chain.files.front().get(), &mediaSize, &failure) != 1) {
    error = describe(failure);
    delete self;
    return nullptr;
  }
  TSK_IMG_INFO* const info = tsk_img_open_external(self, static_cast<TSK_OFF_T>(mediaSize), 512,
                                                   readQcow, closeQcow, statQcow);
  if (info == nullptr) {
    error = "The Sleuth Kit refused the QCOW image";
    delete self;
  }
  return info;
}

}  // namespace quillmark::disk_image

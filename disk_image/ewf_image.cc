#include "disk_image/ewf_image.h"

#include <libewf.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "disk_image/disk_image.h"

namespace quillmark::disk_image {

namespace {

std::string describe(libewf_error_t* error) {
  char text[512] = {};
  if (error == nullptr || libewf_error_sprint(error, text, sizeof text) < 0) return "libewf failed";
  libewf_error_free(&error);
  return closestCause(text);
}

// The libewf handles on one E01 set, shared by every view of the set this
// process opens. A libewf handle must not be used by two threads at once,
// and each keeps the chunk tables of what it has read, which grow with the
// image; so there are as many handles as processors, each used by one
// thread at a time, whatever the number of readers.
class EwfHandles {
 public:
  // The handles on the set whose first segment is `path`, opened once.
  static std::shared_ptr<EwfHandles> of(const std::string& path, std::string& error) {
    static std::mutex registryLock;
    static std::map<std::string, std::weak_ptr<EwfHandles>> registry;
    const std::lock_guard<std::mutex> guard(registryLock);
    std::shared_ptr<EwfHandles> handles = registry[path].lock();
    if (handles != nullptr) return handles;
    handles.reset(new (std::nothrow) EwfHandles());
    if (handles == nullptr || !handles->openFirst(path, error)) return nullptr;
    registry[path] = handles;
    return handles;
  }

  ~EwfHandles() {
    for (Handle& handle : handles_) {
      if (handle.handle != nullptr) {
        libewf_handle_close(handle.handle, nullptr);
        libewf_handle_free(&handle.handle, nullptr);
      }
    }
    if (segments_ != nullptr) libewf_glob_free(segments_, count_, nullptr);
  }

  std::uint64_t mediaSize() const { return mediaSize_; }
  std::uint32_t sectorSize() const { return sectorSize_; }

  // Reads through a free handle, opening another when none is free and
  // fewer than the limit are open. A read that touches a chunk libewf could
  // not verify fails.
  ssize_t read(std::uint64_t offset, char* into, std::size_t length, std::string& error) {
    Handle* const handle = acquire(error);
    if (handle == nullptr) return -1;
    libewf_error_t* failure = nullptr;
    ssize_t got = libewf_handle_read_random(handle->handle, into, length,
                                            static_cast<off64_t>(offset), &failure);
    if (got < 0) {
      error = describe(failure);
    } else if (got > 0 && touchesBadChunk(*handle, offset, static_cast<std::uint64_t>(got))) {
      error = "E01 chunk at byte " + std::to_string(offset) +
              " failed its checksum or lies in a missing segment";
      got = -1;
    }
    handle->lock.unlock();
    return got;
  }

 private:
  struct Handle {
    std::mutex lock;
    libewf_handle_t* handle = nullptr;
  };

  EwfHandles() : handles_(std::max(1U, std::min(16U, std::thread::hardware_concurrency()))) {}

  bool openFirst(const std::string& path, std::string& error) {
    libewf_error_t* failure = nullptr;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &segments_, &count_,
                    &failure) != 1) {
      segments_ = nullptr;
      error = describe(failure);
      return false;
    }
    size64_t mediaSize = 0;
    if (!open(handles_[0], error) ||
        libewf_handle_get_media_size(handles_[0].handle, &mediaSize, &failure) != 1 ||
        libewf_handle_get_bytes_per_sector(handles_[0].handle, &sectorSize_, &failure) != 1) {
      if (error.empty()) error = describe(failure);
      return false;
    }
    mediaSize_ = mediaSize;
    if (sectorSize_ == 0) sectorSize_ = 512;
    return true;
  }

  bool open(Handle& handle, std::string& error) {
    libewf_error_t* failure = nullptr;
    if (libewf_handle_initialize(&handle.handle, &failure) != 1) {
      handle.handle = nullptr;
      error = describe(failure);
      return false;
    }
    if (libewf_handle_open(handle.handle, segments_, count_, LIBEWF_OPEN_READ, &failure) != 1) {
      libewf_handle_free(&handle.handle, nullptr);
      handle.handle = nullptr;
      error = describe(failure);
      return false;
    }
    return true;
  }

  // A handle locked for this thread, or nullptr with `error` set.
  Handle* acquire(std::string& error) {
    for (Handle& handle : handles_) {
      if (!handle.lock.try_lock()) continue;
      if (handle.handle != nullptr || open(handle, error)) return &handle;
      handle.lock.unlock();
      return nullptr;
    }
    // All busy: wait for one, a different one for each thread.
    const std::size_t at =
        std::hash<std::thread::id>()(std::this_thread::get_id()) % handles_.size();
    Handle& handle = handles_[at];
    handle.lock.lock();
    if (handle.handle != nullptr || open(handle, error)) return &handle;
    handle.lock.unlock();
    return nullptr;
  }

  // True when a chunk in [offset, offset + length) failed its checksum or
  // was missing: libewf hands both back (as their stored bytes, or zeros)
  // and only notes them, as ranges of sectors.
  bool touchesBadChunk(Handle& handle, std::uint64_t offset, std::uint64_t length) const {
    std::uint32_t count = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle.handle, &count, nullptr) != 1) {
      return true;
    }
    const std::uint64_t first = offset / sectorSize_;
    const std::uint64_t last = (offset + length - 1) / sectorSize_;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint64_t start = 0;
      std::uint64_t sectors = 0;
      if (libewf_handle_get_checksum_error(handle.handle, i, &start, &sectors, nullptr) != 1) {
        return true;
      }
      if (start <= last && first < start + sectors) return true;
    }
    return false;
  }

  char** segments_ = nullptr;
  int count_ = 0;
  std::uint64_t mediaSize_ = 0;
  std::uint32_t sectorSize_ = 512;
  std::vector<Handle> handles_;
};

// The Sleuth Kit's view of the image comes first, so that it can cast one
// to the other.
struct EwfImage {
  TSK_IMG_INFO info;
  std::shared_ptr<EwfHandles> handles;
};

ssize_t readEwf(TSK_IMG_INFO* info, TSK_OFF_T offset, char* buffer, size_t length) {
  EwfImage& self = *reinterpret_cast<EwfImage*>(info);
  std::string error;
  const ssize_t got = self.handles->read(static_cast<std::uint64_t>(offset), buffer, length, error);
  if (got < 0) {
    tsk_error_reset();
    tsk_error_set_errno(TSK_ERR_IMG_READ);
    tsk_error_set_errstr("%s", error.c_str());
  }
  return got;
}

void closeEwf(TSK_IMG_INFO* info) {
  EwfImage* const self = reinterpret_cast<EwfImage*>(info);
  pthread_mutex_destroy(&self->info.cache_lock.mutex);
  delete self;
}

void statEwf(TSK_IMG_INFO*, FILE* out) { (void)std::fputs("Image Type: ewf\n", out); }

}  // namespace

bool isEwfImage(const std::string& path) {
  return libewf_check_file_signature(path.c_str(), nullptr) == 1;
}

TSK_IMG_INFO* openEwfImage(const std::string& path, std::string& error) {
  std::shared_ptr<EwfHandles> handles = EwfHandles::of(path, error);
  if (handles == nullptr) return nullptr;
  // The Sleuth Kit's view holds a 2 MiB read cache: zeroed on the heap.
  auto* const self = new (std::nothrow) EwfImage();
  if (self == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  self->handles = std::move(handles);
  TSK_IMG_INFO* const info =
      tsk_img_open_external(self, static_cast<TSK_OFF_T>(self->handles->mediaSize()),
                            self->handles->sectorSize(), readEwf, closeEwf, statEwf);
  if (info == nullptr) {
    error = "The Sleuth Kit refused the E01 image";
    delete self;
  }
  return info;
}

}  // namespace quillmark::disk_image

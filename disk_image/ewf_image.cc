#include "disk_image/ewf_image.h"

#include <libewf.h>
#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace quillmark::disk_image {

namespace {

// The Sleuth Kit's view of the image comes first, so that it can cast one
// to the other.
struct EwfImage {
  TSK_IMG_INFO info;
  libewf_handle_t* handle = nullptr;
  std::uint32_t sectorSize = 512;
};

std::string describe(libewf_error_t* error) {
  char text[512] = {};
  if (error == nullptr || libewf_error_sprint(error, text, sizeof text) < 0) return "libewf failed";
  libewf_error_free(&error);
  // libewf stacks its messages one per line; the last is the closest to the cause.
  std::string message(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  const std::size_t line = message.rfind('\n');
  return line == std::string::npos ? message : message.substr(line + 1);
}

// True when a chunk in [offset, offset + length) failed its checksum or was
// missing: libewf keeps them as ranges of sectors.
bool touchesBadChunk(EwfImage& self, std::uint64_t offset, std::uint64_t length) {
  std::uint32_t count = 0;
  if (libewf_handle_get_number_of_checksum_errors(self.handle, &count, nullptr) != 1) return true;
  const std::uint64_t first = offset / self.sectorSize;
  const std::uint64_t last = (offset + length - 1) / self.sectorSize;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t start = 0;
    std::uint64_t sectors = 0;
    if (libewf_handle_get_checksum_error(self.handle, i, &start, &sectors, nullptr) != 1) {
      return true;
    }
    if (start <= last && first < start + sectors) return true;
  }
  return false;
}

ssize_t readEwf(TSK_IMG_INFO* info, TSK_OFF_T offset, char* buffer, size_t length) {
  EwfImage& self = *reinterpret_cast<EwfImage*>(info);
  libewf_error_t* error = nullptr;
  const ssize_t got = libewf_handle_read_random(self.handle, buffer, length, offset, &error);
  if (got < 0) {
    tsk_error_reset();
    tsk_error_set_errno(TSK_ERR_IMG_READ);
    tsk_error_set_errstr("%s", describe(error).c_str());
    return -1;
  }
  if (got > 0 &&
      touchesBadChunk(self, static_cast<std::uint64_t>(offset), static_cast<std::uint64_t>(got))) {
    tsk_error_reset();
    tsk_error_set_errno(TSK_ERR_IMG_READ);
    tsk_error_set_errstr("E01 chunk at byte %lld failed its checksum or lies in a missing segment",
                         static_cast<long long>(offset));
    return -1;
  }
  return got;
}

void closeEwf(TSK_IMG_INFO* info) {
  EwfImage* const self = reinterpret_cast<EwfImage*>(info);
  libewf_handle_close(self->handle, nullptr);
  libewf_handle_free(&self->handle, nullptr);
  pthread_mutex_destroy(&self->info.cache_lock.mutex);
  delete self;
}

void statEwf(TSK_IMG_INFO*, FILE* out) { (void)std::fputs("Image Type: ewf\n", out); }

}  // namespace

bool isEwfImage(const std::string& path) {
  return libewf_check_file_signature(path.c_str(), nullptr) == 1;
}

TSK_IMG_INFO* openEwfImage(const std::string& path, std::string& error) {
  char** segments = nullptr;
  int count = 0;
  libewf_error_t* failure = nullptr;
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &segments, &count, &failure) !=
      1) {
    error = describe(failure);
    return nullptr;
  }
  // The Sleuth Kit's view holds a 2 MiB read cache: zeroed on the heap.
  auto* const self = new (std::nothrow) EwfImage();
  libewf_handle_t* handle = nullptr;
  size64_t mediaSize = 0;
  std::uint32_t sectorSize = 0;
  const bool opened =
      self != nullptr && libewf_handle_initialize(&handle, &failure) == 1 &&
      libewf_handle_open(handle, segments, count, LIBEWF_OPEN_READ, &failure) == 1 &&
      libewf_handle_get_media_size(handle, &mediaSize, &failure) == 1 &&
      libewf_handle_get_bytes_per_sector(handle, &sectorSize, &failure) == 1;
  libewf_glob_free(segments, count, nullptr);
  if (!opened) {
    error = self == nullptr ? "out of memory" : describe(failure);
    if (handle != nullptr) libewf_handle_free(&handle, nullptr);
    delete self;
    return nullptr;
  }
  self->handle = handle;
  self->sectorSize = sectorSize == 0 ? 512 : sectorSize;
  TSK_IMG_INFO* const info = tsk_img_open_external(self, static_cast<TSK_OFF_T>(mediaSize),
                                                   self->sectorSize, readEwf, closeEwf, statEwf);
  if (info == nullptr) {
    error = "The Sleuth Kit refused the E01 image";
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
    delete self;
  }
  return info;
}

}  // namespace quillmark::disk_image

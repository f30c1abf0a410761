#ifndef QUILLMARK_DISK_IMAGE_LIBRARY_PROGRESS_H_
#define QUILLMARK_DISK_IMAGE_LIBRARY_PROGRESS_H_

#include <cstdint>

namespace quillmark::disk_image {

// How many reads the library has made of any disk image this process
// opened, so far: a watchdog tells a library at work (it reads) from one
// stuck on hostile metadata (it spins without reading). Any thread may ask.
std::uint64_t libraryReadsSoFar();

}  // namespace quillmark::disk_image

#endif  // QUILLMARK_DISK_IMAGE_LIBRARY_PROGRESS_H_

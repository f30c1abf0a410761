#ifndef QUILLMARK_SCAN_CONTAINER_REQUEST_H_
#define QUILLMARK_SCAN_CONTAINER_REQUEST_H_

#include <string>

namespace quillmark::scan {

// What quillmark-scan asks the program that walks containers for: a
// container file, or a file in a disk image (the image's path and the
// file's reference in it, its path there only naming it).
struct ContainerRequest {
  std::string path;
  std::string image;
  std::string imageFile;
};

// A request as the walking program reads it: its length in 8 bytes,
// little-endian, then the path, the image and the file's reference, each
// ended by a NUL (which no path holds).
std::string encodeContainerRequest(const ContainerRequest& request);

// The next request on `fd`; false at the end of the requests (or on one
// that encodeContainerRequest did not write).
bool readContainerRequest(int fd, ContainerRequest& request);

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_CONTAINER_REQUEST_H_

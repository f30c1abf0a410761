#include "scan/container_request.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillmark::scan {

namespace {

// Reads exactly `length` bytes of `fd`; false at its end or on an error.
bool readExactly(int fd, char* into, std::size_t length) {
  while (length > 0) {
    const ssize_t got = ::read(fd, into, length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::string encodeContainerRequest(const ContainerRequest& request) {
  std::string fields;
  for (const std::string* field : {&request.path, &request.image, &request.imageFile}) {
    fields.append(*field).push_back('\0');
  }
  std::string out(8, '\0');
  for (std::size_t i = 0; i < 8; ++i) {
    out[i] = static_cast<char>((static_cast<std::uint64_t>(fields.size()) >> (8 * i)) & 0xFF);
  }
  return out + fields;
}

bool readContainerRequest(int fd, ContainerRequest& request) {
  unsigned char size[8];
  if (!readExactly(fd, reinterpret_cast<char*>(size), sizeof size)) return false;
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < 8; ++i) length |= static_cast<std::uint64_t>(size[i]) << (8 * i);
  if (length > (std::uint64_t{1} << 24)) return false;
  std::string fields(static_cast<std::size_t>(length), '\0');
  if (!readExactly(fd, fields.data(), fields.size())) return false;
  std::string_view rest = fields;
  for (std::string* field : {&request.path, &request.image, &request.imageFile}) {
    const std::size_t end = rest.find('\0');
    if (end == std::string_view::npos) return false;
    field->assign(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  return rest.empty();
}

}  // namespace quillmark::scan

#ifndef QUILLMARK_CONTAINER_CONTAINER_FORMAT_H_
#define QUILLMARK_CONTAINER_CONTAINER_FORMAT_H_

#include <cstddef>
#include <string_view>

namespace quillmark::container {

// The first bytes of a file that its container format is told by: tar's
// magic lies at byte 257.
inline constexpr std::size_t kSignatureBytes = 512;

// The name of the container format that the first `length` bytes of a file
// show ("zip", "7z", "rar", "tar", "cpio", "ar", "cab", "lha", "xar",
// "gzip", "bzip2", "xz", "lzma", "zstd", "lz4", "lzip", "compress", "pst",
// "mbox", "mime" for a mail message), or nullptr for a file that is no
// container. Only content is looked at, never a name: signatures, and for
// mail its first lines; a BMP ("BM") is never a container.
const char* containerFormatOf(const unsigned char* bytes, std::size_t length);

// True for the formats of mail ("mime", "mbox"), which GMime reads.
inline bool isMail(std::string_view format) { return format == "mime" || format == "mbox"; }

}  // namespace quillmark::container

#endif  // QUILLMARK_CONTAINER_CONTAINER_FORMAT_H_

#ifndef QUILLMARK_CONTAINER_CONTAINER_FORMAT_H_
#define QUILLMARK_CONTAINER_CONTAINER_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/content_source.h"

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

// ISO 9660 is told by its first volume descriptor, 32 KiB into the file,
// past the first bytes read of every file. It is looked for only in
// content whose size is a whole number of 2048-byte sectors, as every ISO
// image's is, so that nearly no other file costs a second read.
inline constexpr std::size_t kIsoDescriptorOffset = 32768;
inline constexpr std::size_t kIsoDescriptorBytes = 7;  // type, "CD001", version
// The first bytes of content that hold the descriptor.
inline constexpr std::size_t kIsoSignatureBytes = kIsoDescriptorOffset + kIsoDescriptorBytes;

// True when content of `size` bytes whose first `length` bytes are `head`
// may be an ISO 9660 image: whole sectors, past the descriptor, no BMP.
bool mayBeIso9660(const unsigned char* head, std::size_t length, std::uint64_t size);

// True when `start`, the first `length` bytes of content, holds a volume
// descriptor where one lies.
bool isIso9660Start(const unsigned char* start, std::size_t length);

// True when `source` is an ISO 9660 image: mayBeIso9660 and a volume
// descriptor where one lies. Adds the bytes it read to `read`.
bool isIso9660(ContentSource& source, std::uint64_t& read);

// The container format of content that can be read at any offset: as
// containerFormatOf tells it from the first bytes, or "iso9660". nullptr
// for content that is no container or cannot be read.
const char* containerFormatOf(ContentSource& source);

// True when this build reads containers (it was built with libarchive).
bool containersSupported();

// True when this build reads mail (it was built with GMime).
bool mailSupported();

// True for the formats of mail ("mime", "mbox"), which GMime reads.
inline bool isMail(std::string_view format) { return format == "mime" || format == "mbox"; }

}  // namespace quillmark::container

#endif  // QUILLMARK_CONTAINER_CONTAINER_FORMAT_H_

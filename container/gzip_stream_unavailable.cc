// Stands in for checking gzip trailers in a build without zlib: libarchive
// then reads gzip files itself, trailers unchecked.

#include <limits>

#include "container/gzip_stream.h"

namespace quillmark::container {

struct GzipStream::Inflater {};

GzipStream::GzipStream(ContentSource& compressed) : compressed_(compressed) {}

GzipStream::~GzipStream() = default;

std::uint64_t GzipStream::size() const { return std::numeric_limits<std::uint64_t>::max(); }

std::int64_t GzipStream::readAt(std::uint64_t, char*, std::uint64_t) { return -1; }

std::optional<std::string_view> GzipStream::name() const { return std::nullopt; }

bool GzipStream::finish(std::uint64_t) { return false; }

bool gzipStreamsSupported() { return false; }

}  // namespace quillmark::container

// Stands in for reading a deflated member by offset in a build without
// zlib: a mailbox deflated in a zip, or in a tar.gz, is then held as it
// streams, as any streamed mailbox is.

#include "container/inflated_member.h"

namespace quillmark::container {

struct InflatedMember::Inflater {};

InflatedMember::InflatedMember(ContentSource& compressed, std::uint64_t start, std::uint64_t size,
                               Stream stream)
    : compressed_(compressed), start_(start), size_(size), stream_(stream) {}

InflatedMember::~InflatedMember() = default;

bool InflatedMember::begins(std::string_view) { return false; }

bool InflatedMember::index() {
  error_ = "this build cannot inflate a member by offset (built without zlib)";
  return false;
}

std::int64_t InflatedMember::readAt(std::uint64_t, char*, std::uint64_t) { return -1; }

bool inflatedMembersSupported() { return false; }

}  // namespace quillmark::container

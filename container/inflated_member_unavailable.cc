// Stands in for reading a deflated member by offset in a build without
// zlib: a mailbox deflated in a zip is then analysed as the bytes it is.

#include "container/inflated_member.h"

namespace quillmark::container {

struct InflatedMember::Inflater {};

InflatedMember::InflatedMember(ContentSource& compressed, std::uint64_t start, std::uint64_t size)
    : compressed_(compressed), start_(start), size_(size) {}

InflatedMember::~InflatedMember() = default;

bool InflatedMember::begins(std::string_view) { return false; }

bool InflatedMember::index() {
  error_ = "this build cannot inflate a member by offset (built without zlib)";
  return false;
}

std::int64_t InflatedMember::readAt(std::uint64_t, char*, std::uint64_t) { return -1; }

bool inflatedMembersSupported() { return false; }

}  // namespace quillmark::container

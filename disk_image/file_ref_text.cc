#include "disk_image/file_ref_text.h"

#include <charconv>
#include <cstdint>

namespace quillmark::disk_image {

namespace {

constexpr unsigned kNamedStream = 1;
constexpr unsigned kNameUnallocated = 2;
constexpr unsigned kMetaUnallocated = 4;

// Reads the decimal number that `text` begins with, up to a ':' or the
// end, and moves past it and the ':'.
template <typename Number>
bool take(std::string_view& text, Number& number, bool last) {
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  if (error != std::errc() || stop == text.data()) return false;
  if (last) return stop == end;
  if (stop == end || *stop != ':') return false;
  text.remove_prefix(static_cast<std::size_t>(stop - text.data()) + 1);
  return true;
}

}  // namespace

std::string fileRefText(const FileRef& ref) {
  const unsigned flags = (ref.namedStream ? kNamedStream : 0) |
                         (ref.nameUnallocated ? kNameUnallocated : 0) |
                         (ref.metaUnallocated ? kMetaUnallocated : 0);
  std::string text = std::to_string(ref.fsOffset);
  for (const std::uint64_t field :
       {ref.poolVolume, std::uint64_t{ref.fsTypeId}, ref.inode, std::uint64_t{flags},
        std::uint64_t{ref.attrType}, std::uint64_t{ref.attrId}}) {
    text.append(":").append(std::to_string(field));
  }
  return text;
}

bool parseFileRef(std::string_view text, FileRef& ref) {
  ref = FileRef{};
  unsigned flags = 0;
  if (!take(text, ref.fsOffset, false) || !take(text, ref.poolVolume, false) ||
      !take(text, ref.fsTypeId, false) || !take(text, ref.inode, false) ||
      !take(text, flags, false) || !take(text, ref.attrType, false) ||
      !take(text, ref.attrId, true) || flags > 7) {
    return false;
  }
  ref.namedStream = (flags & kNamedStream) != 0;
  ref.nameUnallocated = (flags & kNameUnallocated) != 0;
  ref.metaUnallocated = (flags & kMetaUnallocated) != 0;
  return true;
}

}  // namespace quillmark::disk_image

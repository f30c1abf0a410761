// Stands in for the container walk in a build without libarchive:
// containers are then read as plain files, and the summary says why.

#include "container/archive_walker.h"

namespace quillmark::container {

std::optional<std::string> ArchiveWalker::walk(const std::string&,
                                               const std::function<bool(Member&)>&, bool& encrypted,
                                               MemberShare*) const {
  encrypted = false;
  return std::string(
      "this build of quillmark-scan cannot read containers (built without "
      "libarchive)");
}

std::optional<std::string> ArchiveWalker::walk(ContentSource&,
                                               const std::function<bool(Member&)>& visit,
                                               bool& encrypted, MemberShare* share) const {
  return walk(std::string(), visit, encrypted, share);
}

bool ArchiveWalker::walkSource(const char*, ContentSource&, std::vector<MemberHop>& chain,
                               const std::function<bool(Member&)>& visit) const {
  Member member;
  member.chain = chain;
  member.kind = Member::Kind::kDamaged;
  member.why = "this build of quillmark-scan cannot read containers (built without libarchive)";
  return visit(member);
}

std::string archiveLibraryVersion() { return {}; }

}  // namespace quillmark::container

// Stands in for the mailbox walk in a build without libpff: mailboxes are
// then one error record each, which says why.

#include "container/pst_walker.h"

namespace quillmark::container {

std::optional<std::string> PstWalker::walk(const std::string&,
                                           const std::function<bool(Member&)>&) const {
  return std::string(
      "this build of quillmark-scan cannot read Outlook mailboxes (built without "
      "libpff)");
}

std::optional<std::string> PstWalker::walkSource(ContentSource&,
                                                 const std::function<bool(Member&)>& visit) const {
  return walk("", visit);
}

bool PstWalker::walkMember(ContentSource& source, const std::vector<MemberHop>& chain,
                           const std::function<bool(Member&)>& visit) const {
  Member failed;
  failed.chain = chain;
  failed.kind = Member::Kind::kDamaged;
  failed.why = *walkSource(source, visit);
  return visit(failed);
}

bool PstWalker::walkStream(ContentSource& source, const std::vector<MemberHop>& chain,
                           const std::function<bool(Member&)>& visit,
                           const std::function<std::string()>&) const {
  return walkMember(source, chain, visit);
}

bool mailboxesSupported() { return false; }

std::string pffLibraryVersion() { return {}; }

}  // namespace quillmark::container

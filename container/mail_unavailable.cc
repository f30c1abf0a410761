// Stands in for the mail walk in a build without GMime: messages and
// mailboxes are then read as plain files, and the summary says why.

#include "container/mail_walker.h"

namespace quillmark::container {

MailWalker::MailWalker(const ArchiveWalker& archives) : archives_(archives) {}

std::optional<std::string> MailWalker::walk(const char*, const std::string&,
                                            const std::function<bool(Member&)>&) const {
  return std::string("this build of quillmark-scan cannot read mail (built without GMime)");
}

bool MailWalker::walkSource(const char*, ContentSource&, std::vector<MemberHop>& chain,
                            const std::function<bool(Member&)>& visit, bool) const {
  Member member;
  member.chain = chain;
  member.kind = Member::Kind::kDamaged;
  member.why = "this build of quillmark-scan cannot read mail (built without GMime)";
  return visit(member);
}

std::string mailLibraryVersion() { return {}; }

}  // namespace quillmark::container

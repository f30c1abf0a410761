#ifndef QUILLMARK_CONTAINER_PST_WALKER_H_
#define QUILLMARK_CONTAINER_PST_WALKER_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "container/archive_walker.h"

namespace quillmark::container {

// Walks an Outlook mailbox (PST or OST) through libpff: every data
// attachment of every message in every folder, in the library's order. An
// attachment is read by offset, as a file is, so only the bytes its
// analysis needs are read; an attachment that is itself a container (a zip
// sent by mail) is walked by `archives` in turn.
//
// Each attachment's hop has format "pst", the attachment's file name, its
// 0-based position among the mailbox's attachments, and the locator by
// which pffexport names it: "FOLDER/.../MessageNNNNN/Attachments/K" (K
// from 1, padded to the width of the message's count of attachments), which
// pffexport -t OUT writes to OUT.export/LOCATOR_NAME.
class PstWalker {
 public:
  explicit PstWalker(const ArchiveWalker& archives) : archives_(archives) {}

  // Hands `visit` each attachment of the mailbox at `path` until it returns
  // false. Returns nothing when every folder, message and attachment could
  // be read, else the library's first reason; what could be read was
  // handed over all the same.
  std::optional<std::string> walk(const std::string& path,
                                  const std::function<bool(Member&)>& visit) const;

  // The same for a mailbox that is no file of its own but `source`, read by
  // offset (a file in a disk image).
  std::optional<std::string> walkSource(ContentSource& source,
                                        const std::function<bool(Member&)>& visit) const;

  // The same for a mailbox that is a member at the end of `chain` (stored
  // whole in an archive, attached in another mailbox), read by offset
  // through `source`: its attachments' chains begin with `chain`, and a
  // failure is handed to `visit` as a kDamaged member after them. Returns
  // false when `visit` stopped the walk.
  bool walkMember(ContentSource& source, const std::vector<MemberHop>& chain,
                  const std::function<bool(Member&)>& visit) const;

  // The same for a mailbox that can only be read in order, from its start
  // to its end (a member that streams past, a part of a message). libpff
  // reads by offset, so it is held in memory, up to kStreamedLimit bytes,
  // as mail's own limits on a message keep an attached one; a larger one
  // is a kMailboxTooLarge member, and one whose bytes cannot be read a
  // kDamaged member saying `readError()`.
  static constexpr std::uint64_t kStreamedLimit = std::uint64_t{64} << 20;
  bool walkStream(ContentSource& source, const std::vector<MemberHop>& chain,
                  const std::function<bool(Member&)>& visit,
                  const std::function<std::string()>& readError) const;

 private:
  // walkSource for a mailbox whose chain is `chain`; `stopped` is set when
  // `visit` stopped the walk.
  std::optional<std::string> walkSourceIn(ContentSource& source,
                                          const std::vector<MemberHop>& chain,
                                          const std::function<bool(Member&)>& visit,
                                          bool& stopped) const;

  const ArchiveWalker& archives_;
};

// True when this build reads mailboxes (it was built with libpff).
bool mailboxesSupported();

// libpff's version, or empty without it.
std::string pffLibraryVersion();

}  // namespace quillmark::container

#endif  // QUILLMARK_CONTAINER_PST_WALKER_H_

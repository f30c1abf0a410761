#ifndef QUILLMARK_CONTAINER_MAIL_WALKER_H_
#define QUILLMARK_CONTAINER_MAIL_WALKER_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "container/archive_walker.h"

typedef struct _GMimeStream GMimeStream;

namespace quillmark::container {

class ParserOptions;

// Walks an Internet mail message (an .eml file, format "mime") or a mailbox
// of them (mbox, format "mbox") through GMime: every MIME part with content,
// attachments and inline parts alike, decoded from base64,
// quoted-printable or uuencode; an attached message (message/rfc822) is
// walked in turn. A part that is itself a container (a zip sent by mail) is
// walked by `archives`.
//
// Each part's hop has the container's format, the part's file name (empty
// when it states none), its 0-based position among the container's parts,
// and its locator: the MIME part path as IMAP numbers it ("1" for the body
// of a message of one part, "2.1" for the first part inside the second),
// after "N/" in a mailbox, N the message's number from 1.
//
// A part of a message in a file (on the host or in a disk image) is decoded
// as it is read, from the file, so nothing is held whole; its decoded size
// is counted by decoding it once before. A message inside an archive is
// parsed as it streams, its parts held, up to kNestedLimit bytes in all.
class MailWalker {
 public:
  static constexpr std::uint64_t kNestedLimit = std::uint64_t{256} << 20;

  explicit MailWalker(const ArchiveWalker& archives);

  // Hands `visit` each part of the message or mailbox (`format`, as
  // containerFormatOf tells it) at `path` until it returns false. Returns nothing when every
  // message could be read whole, else the first reason one could not (a truncated message, a
  // multipart without its boundary); what could be read was handed over all the same.
  std::optional<std::string> walk(const char* format, const std::string& path,
                                  const std::function<bool(Member&)>& visit) const;

  // As walk(), for the message or mailbox (`format`) that `source` holds,
  // read from its start in order (or, `seekable`, by offset as a file is),
  // a member at the end of `chain` (empty for a file); a failure is handed
  // to `visit` as a kDamaged member after the parts. Returns false when
  // `visit` stopped the walk.
  bool walkSource(const char* format, ContentSource& source, std::vector<MemberHop>& chain,
                  const std::function<bool(Member&)>& visit, bool seekable = false) const;

 private:
  // Parses the messages of `stream` (a mailbox when `format` is "mbox"),
  // handing `visit` their parts; what is damaged goes to `options`.
  // Returns false when `visit` stopped the walk.
  bool parse(GMimeStream* stream, const char* format, bool persist, std::vector<MemberHop>& chain,
             const std::function<bool(Member&)>& visit, ParserOptions& options) const;

  const ArchiveWalker& archives_;
};

// GMime's version, or empty without it.
std::string mailLibraryVersion();

}  // namespace quillmark::container

#endif  // QUILLMARK_CONTAINER_MAIL_WALKER_H_

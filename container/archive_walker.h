#ifndef QUILLMARK_CONTAINER_ARCHIVE_WALKER_H_
#define QUILLMARK_CONTAINER_ARCHIVE_WALKER_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "analysis/content_source.h"

namespace quillmark::container {

// One level of the containers a member lies in: the container's format, the
// member's name as stored, and its 0-based position in the container.
struct MemberHop {
  std::string format;
  std::string member;
  std::uint64_t index = 0;
  // Where the format's own tools find the member, for formats with a tree
  // of their own (a mailbox's folder, message and attachment); else empty.
  std::string locator;
};

class MailWalker;

// Shares the members of one container among walks that read it side by
// side, each through a reader of its own: each walk reads only the members
// it takes and passes over the rest, which a container with an index of its
// members (a zip read from its central directory) skips unread.
class MemberShare {
 public:
  enum class Turn {
    kTake,  // the member is this walk's to read
    kPass,  // another walk reads it
    kStop,  // the walk ends here
  };
  virtual ~MemberShare() = default;
  // The walk stands at the entry at `index` of the container (every entry,
  // folders too, in order).
  virtual Turn take(std::uint64_t index) = 0;
  // The walk could not read the entry at `index`, nor any after it.
  virtual void brokeAt(std::uint64_t index) = 0;

 protected:
  MemberShare() = default;
  MemberShare(const MemberShare&) = default;
  MemberShare& operator=(const MemberShare&) = default;
};

// A member as the walker hands it over.
struct Member {
  enum class Kind {
    kContent,          // `content` streams its bytes
    kEncrypted,        // encrypted: its bytes cannot be had
    kTooDeep,          // a container nested deeper than the walk opens
    kTooLarge,         // a stream of unknown size larger than the walk holds
    kMailboxTooLarge,  // a mailbox that streams, larger than the walk holds
    kDamaged,          // a container inside that cannot be read (further): `why`
  };
  Kind kind = Kind::kContent;
  std::vector<MemberHop> chain;  // from the outermost container to this member
  // For kContent: the member's bytes, read once, from the start, in order
  // (a read at any other offset fails), unless `randomAccess`. Its size is
  // exact: known from the container, or, for a single compressed stream
  // that does not state it, counted by reading the stream whole into
  // memory first.
  ContentSource* content = nullptr;
  bool randomAccess = false;
  std::string why;  // for kDamaged: the library's reason
  // For kContent: why its bytes could not be read, once a read failed.
  std::function<std::string()> readError;
};

// Walks a container file and every container inside it, through libarchive:
// zip (and the documents that are zips), 7z, rar, tar, cpio, ar, ISO 9660,
// cab, lha, xar, each through any compression, and a single compressed
// stream (gzip, bzip2, xz, lzma, zstd, lz4, lzip, compress) as a container
// of one member. Members are streamed: none is written anywhere, and none is
// held whole in memory except a compressed stream that does not state its
// size, up to kUnknownSizeLimit, and an Outlook mailbox that streams (see
// PstWalker::walkStream). A member that lies whole and uncompressed in a
// container read by offset (a stored zip member, a member of a plain tar)
// is read by offset there instead, as a file is, and a mailbox deflated in
// such a zip, or in a tar.gz read by offset, is inflated by offset
// (InflatedMember). A gzip stream is inflated here (GzipStream), so that
// its trailers are checked, and the library reads what it holds.
//
// A member that is itself a container (by its first bytes) is walked in
// turn, to maxDepth levels in all; it is not handed over itself.
class ArchiveWalker {
 public:
  static constexpr std::uint64_t kUnknownSizeLimit = std::uint64_t{48} << 20;

  explicit ArchiveWalker(unsigned maxDepth) : maxDepth_(maxDepth) {}

  // Has mail inside archives (a message or a mailbox kept in a zip) walked
  // by `mail`; without it, such a member is analysed as it is.
  void setMailWalker(const MailWalker* mail) { mail_ = mail; }

  // Has a zip member stored as it is (without compression) streamed
  // through the library, which checks its CRC at its end, rather than read
  // by offset where it lies, which reads only what its analysis needs and
  // checks no CRC: for a scan that takes digests, and so reads members
  // whole. A member that is itself a container is read by offset still.
  void setStoredZipMembersChecked(bool checked) { storedZipMembersChecked_ = checked; }
  bool storedZipMembersChecked() const { return storedZipMembersChecked_; }

  // How many containers deep the walk opens.
  unsigned maxDepth() const { return maxDepth_; }
  // What walks mail inside archives, or nullptr.
  const MailWalker* mailWalker() const { return mail_; }

  // Hands `visit` each member of the container file at `path`, in the
  // container's own order, until it returns false. Returns nothing when the
  // walk reached the end (or `visit` stopped it), else the library's reason
  // the container could not be read further; members read before then were
  // handed over. `encrypted` is set when the container itself is
  // encrypted (its list of members cannot be read). Given `share`, only
  // the container's own members it hands this walk are read (with what
  // lies inside them), and the walk ends where it says.
  std::optional<std::string> walk(const std::string& path,
                                  const std::function<bool(Member&)>& visit, bool& encrypted,
                                  MemberShare* share = nullptr) const;
  // The same for the container that `file` holds, read by offset as a
  // file is (a file in a disk image).
  std::optional<std::string> walk(ContentSource& file, const std::function<bool(Member&)>& visit,
                                  bool& encrypted, MemberShare* share = nullptr) const;

  // Walks the container that `source` holds, in `format` as
  // containerFormatOf names it, read from its start in order, a member at
  // the end of `chain`, handing `visit` its members and then, if it cannot
  // be read whole, a kDamaged (or kEncrypted) member for it. Returns false
  // when `visit` stopped the walk.
  bool walkSource(const char* format, ContentSource& source, std::vector<MemberHop>& chain,
                  const std::function<bool(Member&)>& visit) const;

 private:
  unsigned maxDepth_;
  const MailWalker* mail_ = nullptr;
  bool storedZipMembersChecked_ = false;
};

// libarchive's version, or empty without it.
std::string archiveLibraryVersion();

}  // namespace quillmark::container

#endif  // QUILLMARK_CONTAINER_ARCHIVE_WALKER_H_

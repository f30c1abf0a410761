#include "container/archive_walker.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "analysis/content_window.h"
#include "analysis/memory_source.h"
#include "container/container_format.h"
#include "container/gzip_stream.h"
#include "container/inflated_member.h"
#include "container/mail_walker.h"
#include "container/pst_walker.h"
#include "tree/host_file.h"

namespace quillmark::container {

namespace {

constexpr std::size_t kBlock = std::size_t{64} * 1024;

// At the end of an archive in a gzip stream, how much of the stream is read
// on to reach its trailer: bytes after the archive's end that its reader
// does not ask for (a tar's reader reads to the stream's end itself). A
// longer rest (a stream abandoned as too large) is left unread, and its
// trailer unchecked.
constexpr std::uint64_t kTrailerReach = std::uint64_t{1} << 20;

// A member's bytes as libarchive streams them: read once, in order. The
// first bytes are read ahead, to tell a container inside it.
class EntryStream final : public ContentSource {
 public:
  EntryStream(archive* from, std::uint64_t size) : archive_(from), size_(size) {}

  // Reads ahead until the first `length` bytes are held, or the member
  // ended; they are read again from here. Only before the first read.
  void peek(std::size_t length) {
    const std::size_t held = peeked_.size();
    if (length <= held || failed_) return;
    peeked_.resize(length);
    const std::int64_t got = pull(peeked_.data() + held, length - held);
    peeked_.resize(held + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got < 0) failed_ = true;
  }
  const std::string& peeked() const { return peeked_; }

  std::uint64_t size() const override { return size_; }

  // Only the next bytes in order can be read.
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (offset != position_ || failed_) return -1;
    std::uint64_t done = 0;
    if (position_ < peeked_.size()) {
      done = std::min<std::uint64_t>(length, peeked_.size() - position_);
      std::memcpy(into, peeked_.data() + position_, static_cast<std::size_t>(done));
    }
    if (done < length) {
      const std::int64_t got = pull(into + done, length - done);
      if (got < 0) {
        failed_ = true;
        return -1;
      }
      done += static_cast<std::uint64_t>(got);
    }
    position_ += done;
    // The library checks a member (a stored zip member's CRC) only when
    // asked for bytes past its end: a read that reaches the stated end asks,
    // so that a damaged member fails its last read rather than pass whole.
    if (size_ != 0 && position_ == size_ && !checked_) {
      checked_ = true;
      char past = 0;
      if (archive_read_data(archive_, &past, 1) < 0) {
        failed_ = true;
        return -1;
      }
    }
    return static_cast<std::int64_t>(done);
  }

  // The next bytes in order, up to `length`: 0 at the end, -1 on a failure.
  std::int64_t next(char* into, std::size_t length) { return readAt(position_, into, length); }

  const char* error() const { return archive_error_string(archive_); }

 private:
  // Fills `into` from the library until `length` bytes or the end.
  std::int64_t pull(char* into, std::uint64_t length) {
    std::uint64_t done = 0;
    while (done < length) {
      const la_ssize_t got =
          archive_read_data(archive_, into + done, static_cast<std::size_t>(length - done));
      if (got < 0) return -1;
      if (got == 0) break;
      done += static_cast<std::uint64_t>(got);
    }
    return static_cast<std::int64_t>(done);
  }

  archive* archive_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  std::string peeked_;
  bool failed_ = false;
  bool checked_ = false;  // the library was asked past the member's end
};

struct ArchiveDeleter {
  void operator()(archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveDeleter>;

// A reader of every compression libarchive knows, of the archive formats
// that hold their members' bytes, and of a single compressed stream as one
// member ("raw", which every real format outbids). Not mtree: its entries
// name files on this machine, which the library would open and read as
// members; a hostile archive would have us read the host's own files.
ArchivePtr newReader() {
  ArchivePtr reader(archive_read_new());
  if (reader) {
    archive_read_support_filter_all(reader.get());
    for (const auto support : {archive_read_support_format_7zip, archive_read_support_format_ar,
                               archive_read_support_format_cab, archive_read_support_format_cpio,
                               archive_read_support_format_iso9660, archive_read_support_format_lha,
                               archive_read_support_format_rar, archive_read_support_format_rar5,
                               archive_read_support_format_tar, archive_read_support_format_xar,
                               archive_read_support_format_zip, archive_read_support_format_raw}) {
      (void)support(reader.get());
    }
    // A tar is read past its end marker (two blocks of zeros), as GNU
    // tar -i reads it: a second tar may follow (`cat a.tar b.tar`), and a
    // carrier hidden there is missed by the tools an examiner tries first.
    (void)archive_read_set_format_option(reader.get(), "tar", "read_concatenated_archives", "1");
  }
  return reader;
}

// The short name of the compression of a single stream, or of the
// compression over an archive.
const char* filterName(int code, bool alone) {
  switch (code) {
    case ARCHIVE_FILTER_GZIP:
      return alone ? "gzip" : "gz";
    case ARCHIVE_FILTER_BZIP2:
      return alone ? "bzip2" : "bz2";
    case ARCHIVE_FILTER_COMPRESS:
      return alone ? "compress" : "Z";
    case ARCHIVE_FILTER_LZMA:
      return "lzma";
    case ARCHIVE_FILTER_XZ:
      return "xz";
    case ARCHIVE_FILTER_LZIP:
      return alone ? "lzip" : "lz";
    case ARCHIVE_FILTER_LZ4:
      return "lz4";
    case ARCHIVE_FILTER_ZSTD:
      return alone ? "zstd" : "zst";
    default:
      return nullptr;
  }
}

// The container's format as a hop names it: "zip", "tar.gz", "gzip".
// `gunzipped`: the library reads a gzip stream inflated here, which it
// does not see as compressed.
std::string formatName(archive* a, bool gunzipped) {
  const int filter = archive_filter_count(a) > 1 ? archive_filter_code(a, 0)
                     : gunzipped                 ? ARCHIVE_FILTER_GZIP
                                                 : ARCHIVE_FILTER_NONE;
  const char* base = "unknown";
  switch (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_RAW: {
      const char* alone = filterName(filter, true);
      return alone != nullptr ? alone : "raw";
    }
    case ARCHIVE_FORMAT_CPIO:
      base = "cpio";
      break;
    case ARCHIVE_FORMAT_TAR:
      base = "tar";
      break;
    case ARCHIVE_FORMAT_ISO9660:
      base = "iso9660";
      break;
    case ARCHIVE_FORMAT_ZIP:
      base = "zip";
      break;
    case ARCHIVE_FORMAT_AR:
      base = "ar";
      break;
    case ARCHIVE_FORMAT_XAR:
      base = "xar";
      break;
    case ARCHIVE_FORMAT_LHA:
      base = "lha";
      break;
    case ARCHIVE_FORMAT_CAB:
      base = "cab";
      break;
    case ARCHIVE_FORMAT_RAR:
      base = "rar";
      break;
    case ARCHIVE_FORMAT_RAR_V5:
      base = "rar5";
      break;
    case ARCHIVE_FORMAT_7ZIP:
      base = "7z";
      break;
    default:
      break;
  }
  std::string name = base;
  const char* compression = filterName(filter, false);
  if (compression != nullptr) name.append(".").append(compression);
  return name;
}

// The first read after a seek: a zip read from its central directory seeks
// to each member's header, and reads on only for one that is not stored.
constexpr std::size_t kFirstBlock = std::size_t{4} * 1024;

// libarchive's read callbacks over a container's bytes: a container inside
// a container is read as its bytes pass. Reads double from kFirstBlock
// after each seek or skip, up to kBlock, so that a header read after one
// does not cost a whole block.
struct NestedInput {
  ContentSource* source;
  std::uint64_t position = 0;
  std::string block = std::string(kBlock, '\0');
  std::size_t next = kBlock;  // bytes the next read asks for
};

// Where a seekable source is read next, as libarchive asks: a zip is then
// read from its central directory, as a file is.
la_int64_t seekNested(archive*, void* context, la_int64_t offset, int whence) {
  auto* const input = static_cast<NestedInput*>(context);
  const auto size = static_cast<la_int64_t>(input->source->size());
  la_int64_t to = offset;
  if (whence == SEEK_CUR) to += static_cast<la_int64_t>(input->position);
  if (whence == SEEK_END) to += size;
  if (to < 0) return ARCHIVE_FATAL;
  input->position = static_cast<std::uint64_t>(to);
  input->next = kFirstBlock;
  return to;
}

la_int64_t skipNested(archive*, void* context, la_int64_t request) {
  auto* const input = static_cast<NestedInput*>(context);
  input->position += static_cast<std::uint64_t>(request);
  input->next = kFirstBlock;
  return request;
}

la_ssize_t readNested(archive* a, void* context, const void** buffer) {
  auto* const input = static_cast<NestedInput*>(context);
  const std::int64_t got = input->source->readAt(input->position, input->block.data(), input->next);
  input->next = std::min(input->next * 2, kBlock);
  if (got < 0) {
    archive_set_error(a, EIO, "the enclosing container cannot be read");
    return -1;
  }
  input->position += static_cast<std::uint64_t>(got);
  *buffer = input->block.data();
  return static_cast<la_ssize_t>(got);
}

// True when the member `a` stands at is a zip's, compressed by `method` as
// the zip reader names it in the format's name ("ZIP 2.0 (deflation)"),
// in a zip not compressed as a whole.
bool isZipMember(archive* a, std::string_view method) {
  const char* const name = archive_format_name(a);
  return archive_filter_count(a) == 1 &&
         (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP && name != nullptr &&
         std::string_view(name).find(method) != std::string_view::npos;
}

// Where the bytes of the container one level of the walk reads come from.
struct Origin {
  // The container's bytes by offset, as the library reads them; nullptr
  // when they cannot be read so, or are inflated here.
  ContentSource* raw = nullptr;
  // The gzip stream inflated here that the library reads, or nullptr.
  GzipStream* gzip = nullptr;
  // That stream's compressed bytes by offset, or nullptr.
  ContentSource* gzipFile = nullptr;
  // The stream's fault was told as a member's, which read to it.
  bool faultTold = false;
};

// True when the member `a` stands at is a whole (not sparse) member of a
// tar compressed as a whole with gzip, as a .tar.gz is, whose compressed
// bytes can be read by offset.
bool isTarGzMember(archive* a, archive_entry* entry, const Origin& origin) {
  return origin.gzipFile != nullptr && archive_filter_count(a) == 1 &&
         (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_TAR &&
         archive_entry_sparse_count(entry) == 0;
}

// Where a member's bytes lie in the container's own bytes `raw` when they lie
// there as they are, whole and in one piece: a zip member stored without
// compression, or a tar member that is not sparse, in a container not
// compressed as a whole, that starts at `start` (where the library stood
// after its header), ends within `raw`, and whose first bytes there are
// `head`, the first bytes the library gave of it. Nothing otherwise.
std::optional<std::uint64_t> storedAt(archive* a, archive_entry* entry, ContentSource& raw,
                                      la_int64_t start, std::uint64_t size,
                                      const std::string& head) {
  if (archive_filter_count(a) != 1 || start < 0) return std::nullopt;
  const bool whole = isZipMember(a, "(uncompressed)") ||
                     ((archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_TAR &&
                      archive_entry_sparse_count(entry) == 0);
  const auto at = static_cast<std::uint64_t>(start);
  if (!whole || at > raw.size() || size > raw.size() - at || head.size() > size)
    return std::nullopt;
  char there[kSignatureBytes];
  if (head.size() > sizeof there ||
      raw.readAt(at, there, head.size()) != static_cast<std::int64_t>(head.size()) ||
      std::memcmp(there, head.data(), head.size()) != 0) {
    return std::nullopt;
  }
  return at;
}

class Walk {
 public:
  friend class quillmark::container::ArchiveWalker;
  Walk(const ArchiveWalker& owner, const std::function<bool(Member&)>& visit,
       MemberShare* share = nullptr)
      : owner_(owner), visit_(visit), share_(share) {}

  // Walks the members of `a` at the depth of `chain`, read from `origin`.
  // Returns false when the walk must stop (visit said so); `reason` is set
  // when this container cannot be read further.
  bool level(archive* a, Origin& origin, std::vector<MemberHop>& chain, std::string& reason,
             bool& encrypted) {
    archive_entry* entry = nullptr;
    std::string format;
    // Only the outermost container's members are shared.
    MemberShare* const share = chain.empty() ? share_ : nullptr;
    // Where the library last passed over a header it could not read.
    la_int64_t passedAt = -1;
    for (std::uint64_t index = 0;; ++index) {
      int status = ARCHIVE_RETRY;
      while ((status = archive_read_next_header(a, &entry)) == ARCHIVE_RETRY) {
        // A header the library could not read (a tar header whose checksum
        // does not match), which it passes over to look for the next when
        // asked again, as bsdtar does: the members after the damage are
        // read, and the damage is the container's reason at its end. The
        // walk gives up where the library does not move forward.
        const char* const error = archive_error_string(a);
        reason = error != nullptr ? error : "the container cannot be read";
        const la_int64_t at = archive_filter_bytes(a, 0);
        if (at <= passedAt) return true;
        passedAt = at;
      }
      if (status == ARCHIVE_EOF) {
        // The library stopped at the archive's end: the gzip stream is read
        // on to its trailer, so that a damaged one is not passed as sound.
        if (origin.gzip != nullptr && !origin.gzip->finish(kTrailerReach) && !origin.faultTold)
          reason = origin.gzip->error();
        return true;
      }
      if (status < ARCHIVE_WARN) {
        encrypted = archive_read_has_encrypted_entries(a) > 0 && index == 0;
        const char* error = archive_error_string(a);
        reason = error != nullptr ? error : "the container cannot be read";
        // The library read a gzip stream that ended at a fault as cut off,
        // or as no archive it knows: the fault is the reason.
        if (origin.gzip != nullptr && !origin.gzip->error().empty()) reason = origin.gzip->error();
        if (share != nullptr) share->brokeAt(index);
        return true;
      }
      if (share != nullptr) {
        const MemberShare::Turn turn = share->take(index);
        if (turn == MemberShare::Turn::kStop) return false;
        if (turn == MemberShare::Turn::kPass) continue;
      }
      if (format.empty()) format = formatName(a, origin.gzip != nullptr);
      if (archive_entry_filetype(entry) != AE_IFREG && archive_entry_filetype(entry) != 0) {
        continue;  // folders, links, devices: nothing to analyse
      }
      const char* name = archive_entry_pathname(entry);
      std::string named = name != nullptr ? name : "";
      // The library names the one member of a compressed stream by its
      // gzip header, or "data"; a stream inflated here is named so too.
      if (origin.gzip != nullptr && archive_filter_count(a) == 1 &&
          (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_RAW) {
        if (const auto stored = origin.gzip->name()) named = std::string(*stored);
      }
      chain.push_back(MemberHop{format, std::move(named), index, {}});
      const bool more = member(a, entry, origin, chain);
      chain.pop_back();
      if (!more) return false;
    }
  }

 private:
  bool member(archive* a, archive_entry* entry, Origin& origin, std::vector<MemberHop>& chain) {
    ContentSource* const raw = origin.raw;
    Member found;
    found.chain = chain;
    if (archive_entry_is_encrypted(entry) != 0) {
      found.kind = Member::Kind::kEncrypted;
      return visit_(found);
    }
    const bool sized = archive_entry_size_is_set(entry) != 0 && archive_entry_size(entry) >= 0;
    const la_int64_t start = archive_filter_bytes(a, 0);
    EntryStream stream(a, sized ? static_cast<std::uint64_t>(archive_entry_size(entry)) : 0);
    stream.peek(kSignatureBytes);
    if (raw != nullptr && sized) {
      if (const auto at = storedAt(a, entry, *raw, start, stream.size(), stream.peeked())) {
        ContentWindow window(*raw, *at, stream.size());
        if (const auto walked = storedContainer(window, stream.peeked(), chain, found))
          return *walked;
        // Read by offset, a zip member is never checked against its CRC.
        // Whole reads for digests stream it through the library instead,
        // which checks it at its end, as it does a deflated member.
        if (!owner_.storedZipMembersChecked() || !isZipMember(a, "(uncompressed)"))
          return stored(window, found);
      }
    }
    const GzipStream* const gzip = origin.gzip;
    found.readError = [&stream, gzip] {
      // A gzip stream that ended at a fault cut the member off.
      if (gzip != nullptr && !gzip->error().empty()) return gzip->error();
      return std::string(stream.error() != nullptr ? stream.error() : "unknown");
    };
    const auto* const head = reinterpret_cast<const unsigned char*>(stream.peeked().data());
    const char* nested = containerFormatOf(head, stream.peeked().size());
    if (nested == nullptr && sized && mayBeIso9660(head, stream.peeked().size(), stream.size())) {
      stream.peek(kIsoSignatureBytes);
      if (isIso9660Start(reinterpret_cast<const unsigned char*>(stream.peeked().data()),
                         stream.peeked().size())) {
        nested = "iso9660";
      }
    }
    if (nested != nullptr) {
      if (chain.size() >= owner_.maxDepth()) {
        found.kind = Member::Kind::kTooDeep;
        return visit_(found);
      }
      if (std::string_view(nested) == "pst") {
        if (!mailboxesSupported()) {
          found.content = &stream;  // analysed as the bytes it is
          return visit_(found);
        }
        if (raw != nullptr && start >= 0 && isZipMember(a, "(deflation)") &&
            inflatedMembersSupported()) {
          return deflatedMailbox(*raw, static_cast<std::uint64_t>(start), stream, chain, found);
        }
        if (start >= 0 && sized && isTarGzMember(a, entry, origin) && inflatedMembersSupported()) {
          return mailboxInTarGz(*origin.gzipFile, static_cast<std::uint64_t>(start), stream, chain,
                                found);
        }
        return PstWalker(owner_).walkStream(stream, chain, visit_, found.readError);
      }
      if (isMail(nested)) {
        if (owner_.mailWalker() != nullptr && mailSupported())
          return owner_.mailWalker()->walkSource(nested, stream, chain, visit_);
        found.content = &stream;
        return visit_(found);
      }
      return container(stream, nested, chain);
    }
    if (sized) {
      found.content = &stream;
      return visit_(found);
    }
    // A single compressed stream need not state its size: it is counted by
    // holding it, up to a limit.
    std::string whole;  // the bytes read ahead come first through next()
    std::string block(kBlock, '\0');
    for (;;) {
      const std::int64_t got = stream.next(block.data(), block.size());
      if (got < 0) {
        // A stream that breaks off (a truncated gzip) has no whole bytes to
        // judge: the member is an error that says why, not a verdict on
        // what came before the break.
        found.content = &stream;
        return visit_(found);
      }
      if (got == 0) {
        if (gzip == nullptr || gzip->error().empty()) break;
        // The stream ended at a fault (a trailer that does not match, a
        // cut): its member is an error that says why, as a cut is.
        origin.faultTold = true;
        found.content = &stream;
        return visit_(found);
      }
      if (whole.size() + static_cast<std::size_t>(got) > ArchiveWalker::kUnknownSizeLimit) {
        found.kind = Member::Kind::kTooLarge;
        return visit_(found);
      }
      whole.append(block.data(), static_cast<std::size_t>(got));
    }
    MemorySource memory(whole);
    found.content = &memory;
    return visit_(found);
  }

  // A member whose bytes lie whole in its container's, when it is itself a
  // container: walked as a file is, by offset there (a zip from its
  // central directory, a mailbox by libpff). `head` is its first bytes, as
  // the library gave them (and as the window holds them): they are not read
  // again. Nothing when it holds no container the walk opens here.
  std::optional<bool> storedContainer(ContentSource& window, const std::string& head,
                                      std::vector<MemberHop>& chain, Member& found) {
    const auto* const start = reinterpret_cast<const unsigned char*>(head.data());
    const char* nested = containerFormatOf(start, head.size());
    std::uint64_t read = 0;
    if (nested == nullptr && mayBeIso9660(start, head.size(), window.size()) &&
        isIso9660(window, read)) {
      nested = "iso9660";
    }
    if (nested == nullptr) return std::nullopt;
    const std::string_view format = nested;
    if (chain.size() >= owner_.maxDepth()) {
      found.kind = Member::Kind::kTooDeep;
      return visit_(found);
    }
    if (format == "pst" && mailboxesSupported())
      return PstWalker(owner_).walkMember(window, chain, visit_);
    if (isMail(format) && owner_.mailWalker() != nullptr && mailSupported())
      return owner_.mailWalker()->walkSource(nested, window, chain, visit_, true);
    if (format != "pst" && !isMail(format)) return container(window, nested, chain, true);
    return std::nullopt;
  }

  // A member whose bytes lie whole in its container's, read by offset there
  // as a file is: only the bytes its analysis needs.
  bool stored(ContentSource& window, Member& found) {
    found.content = &window;
    found.randomAccess = true;
    found.readError = [] { return std::string("the container's bytes cannot be read"); };
    return visit_(found);
  }

  // A mailbox deflated in a zip that is read by offset (`raw`, the
  // member's compressed bytes from `start`): inflated by offset for libpff,
  // once its stream has been run through to find where it can be taken up
  // again. A stream that does not begin with the bytes `stream` gave is not
  // this member's, and the mailbox is held as it streams instead; one that
  // cannot be inflated whole, or fails its CRC, is the member's error.
  bool deflatedMailbox(ContentSource& raw, std::uint64_t start, EntryStream& stream,
                       std::vector<MemberHop>& chain, Member& found) {
    InflatedMember inflated(raw, start, stream.size());
    if (!inflated.begins(stream.peeked())) {
      return PstWalker(owner_).walkStream(stream, chain, visit_, found.readError);
    }
    if (!inflated.index()) {
      found.kind = Member::Kind::kDamaged;
      found.why = "the mailbox cannot be inflated: " + inflated.error();
      return visit_(found);
    }
    if (!PstWalker(owner_).walkMember(inflated, chain, visit_)) return false;
    // The zip's CRC of the member is the library's to check, as the member
    // streams past to its end: a mismatch is an error after its records.
    char block[kFirstBlock];
    std::int64_t got = 0;
    while ((got = stream.next(block, sizeof block)) > 0) {
    }
    if (got == 0) return true;
    found.kind = Member::Kind::kDamaged;
    found.why = "cannot read the mailbox: " + found.readError();
    return visit_(found);
  }

  // A mailbox in a tar.gz that is read by offset (`raw`), whose bytes
  // begin at `start` of the tar inside the gzip stream: the stream is run
  // through to the mailbox's end once, to lay down points to inflate it
  // again from, and the mailbox is read by offset in it. Where that cannot
  // be done (the stream is not one gzip member, or does not give the
  // member's first bytes as the library did), the mailbox is held as it
  // streams instead.
  bool mailboxInTarGz(ContentSource& raw, std::uint64_t start, EntryStream& stream,
                      std::vector<MemberHop>& chain, Member& found) {
    InflatedMember tar(raw, 0, start + stream.size(), InflatedMember::Stream::kGzipPrefix);
    ContentWindow mailbox(tar, start, stream.size());
    const std::string& head = stream.peeked();
    std::string there(head.size(), '\0');
    if (!tar.index() ||
        mailbox.readAt(0, there.data(), there.size()) != static_cast<std::int64_t>(there.size()) ||
        there != head) {
      return PstWalker(owner_).walkStream(stream, chain, visit_, found.readError);
    }
    return PstWalker(owner_).walkMember(mailbox, chain, visit_);
  }

  // Walks the container that `source` holds, in `format` as
  // containerFormatOf names it, as a level of its own: read from its start
  // in order, or, `seekable`, by offset.
  bool container(ContentSource& source, std::string_view format, std::vector<MemberHop>& chain,
                 bool seekable = false) {
    std::string reason;
    bool encrypted = false;
    const bool more = open(source, format == "gzip", seekable, chain, reason, encrypted);
    if (reason.empty() || !more) return more;
    // The container inside could not be read (further): a member of its
    // own, after those that could.
    Member failed;
    failed.chain = chain;
    failed.kind = encrypted ? Member::Kind::kEncrypted : Member::Kind::kDamaged;
    failed.why = reason;
    return visit_(failed);
  }

  // Opens the container that `source` holds and walks its members, as
  // level() does. A gzip stream (`gzipped`) is inflated here, where this
  // build can, and the library reads what it holds.
  bool open(ContentSource& source, bool gzipped, bool seekable, std::vector<MemberHop>& chain,
            std::string& reason, bool& encrypted) {
    if (gzipped && gzipStreamsSupported()) {
      GzipStream inflated(source);
      Origin origin;
      origin.gzip = &inflated;
      origin.gzipFile = seekable ? &source : nullptr;
      return read(inflated, origin, chain, reason, encrypted);
    }
    Origin origin;
    origin.raw = seekable ? &source : nullptr;
    return read(source, origin, chain, reason, encrypted);
  }

  // Walks the container the library reads from `source` (by offset when
  // `origin` says so), as level() does.
  bool read(ContentSource& source, Origin& origin, std::vector<MemberHop>& chain,
            std::string& reason, bool& encrypted) {
    ArchivePtr reader = newReader();
    NestedInput input{&source};
    const bool seekable = origin.raw != nullptr;
    if (reader && seekable) {
      (void)archive_read_set_seek_callback(reader.get(), seekNested);
      (void)archive_read_set_skip_callback(reader.get(), skipNested);
    }
    if (!reader ||
        archive_read_open(reader.get(), &input, nullptr, readNested, nullptr) != ARCHIVE_OK) {
      // The library may fail to open without saying why. A gzip stream
      // that ended at a fault before it held a format says why.
      const char* const error = reader ? archive_error_string(reader.get()) : "out of memory";
      reason = error != nullptr ? error : "the container cannot be opened";
      if (origin.gzip != nullptr && !origin.gzip->error().empty()) reason = origin.gzip->error();
      return true;
    }
    return level(reader.get(), origin, chain, reason, encrypted);
  }

  const ArchiveWalker& owner_;
  const std::function<bool(Member&)>& visit_;
  MemberShare* share_;  // for the outermost container, or nullptr
};

}  // namespace

std::optional<std::string> ArchiveWalker::walk(const std::string& path,
                                               const std::function<bool(Member&)>& visit,
                                               bool& encrypted, MemberShare* share) const {
  encrypted = false;
  // The file is read by offset, so that a member stored in it as it is can
  // be read as a file is.
  tree::HostFile file;
  switch (file.open(path, true)) {
    case tree::HostFile::Opened::kFile:
      break;
    case tree::HostFile::Opened::kFailed:
      return std::string("cannot open the container: ") + std::strerror(file.error());
    default:
      return std::string("cannot open the container: not a regular file");
  }
  return walk(file, visit, encrypted, share);
}

std::optional<std::string> ArchiveWalker::walk(ContentSource& file,
                                               const std::function<bool(Member&)>& visit,
                                               bool& encrypted, MemberShare* share) const {
  encrypted = false;
  Walk walk(*this, visit, share);
  std::vector<MemberHop> chain;
  std::string reason;
  unsigned char head[kSignatureBytes];
  const std::int64_t got = file.readAt(0, reinterpret_cast<char*>(head), sizeof head);
  const char* const format =
      got > 0 ? containerFormatOf(head, static_cast<std::size_t>(got)) : nullptr;
  (void)walk.open(file, format != nullptr && std::string_view(format) == "gzip", true, chain,
                  reason, encrypted);
  if (reason.empty()) return std::nullopt;
  return reason;
}

bool ArchiveWalker::walkSource(const char* format, ContentSource& source,
                               std::vector<MemberHop>& chain,
                               const std::function<bool(Member&)>& visit) const {
  Walk walk(*this, visit);
  return walk.container(source, format, chain);
}

std::string archiveLibraryVersion() { return archive_version_details(); }

}  // namespace quillmark::container

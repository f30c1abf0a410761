#include "container/mail_walker.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "container/container_format.h"
#include "container/mime_file_stream.h"
#include "container/pst_walker.h"

namespace quillmark::container {

namespace {

constexpr std::size_t kBlock = std::size_t{64} * 1024;

// MIME nesting deeper than this (multiparts in multiparts, messages in
// messages) is not walked: a hostile message could nest without end.
constexpr int kMaxMimeDepth = 64;

// A text part in quoted-printable or base64 is searched for uuencoded
// blocks when it decodes to at most this many bytes, held while it is.
constexpr std::uint64_t kEncodedTextLimit = std::uint64_t{16} << 20;

// A reference to a GObject of GMime's, dropped with it.
template <typename T>
class Ref {
 public:
  explicit Ref(T* object = nullptr) : object_(object) {}
  ~Ref() {
    if (object_ != nullptr) g_object_unref(object_);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_;
};

// What a parser's warning means for the walk: the damage that loses parts,
// in words, or nullptr for what only bends a header.
const char* damageOf(GMimeParserWarning warning) {
  switch (warning) {
    case GMIME_WARN_TRUNCATED_MESSAGE:
      return "the message is truncated";
    case GMIME_WARN_MALFORMED_MULTIPART:
      return "a multipart holds no parts (a broken boundary)";
    case GMIME_WARN_MALFORMED_MESSAGE:
      return "the message is malformed";
    case GMIME_CRIT_INVALID_HEADER_NAME:
      return "an invalid header name: parts of the message may be lost";
    case GMIME_CRIT_CONFLICTING_HEADER:
    case GMIME_CRIT_CONFLICTING_PARAMETER:
      return "conflicting headers: parts of the message may be lost";
    case GMIME_CRIT_MULTIPART_WITHOUT_BOUNDARY:
      return "a multipart lacks its boundary";
    case GMIME_CRIT_NESTING_OVERFLOW:
      return "MIME parts nested too deep";
    case GMIME_CRIT_PART_WITHOUT_HEADERS_OR_CONTENT:
      return "a part without headers or content";
    default:
      return nullptr;
  }
}

}  // namespace

// The parser's options, which keep the first damage it reports.
class ParserOptions {
 public:
  ParserOptions() : options_(g_mime_parser_options_new()) {
    g_mime_parser_options_set_warning_callback(options_, &ParserOptions::warn, this);
  }
  ~ParserOptions() { g_mime_parser_options_free(options_); }
  ParserOptions(const ParserOptions&) = delete;
  ParserOptions& operator=(const ParserOptions&) = delete;

  GMimeParserOptions* get() const { return options_; }
  const std::optional<std::string>& damage() const { return damage_; }
  void fail(const std::string& why) {
    if (!damage_) damage_ = why;
  }

 private:
  static void warn(gint64 offset, GMimeParserWarning warning, const gchar*, gpointer self) {
    const char* const damage = damageOf(warning);
    if (damage == nullptr) return;
    std::string why = damage;
    if (offset >= 0) why += " (at byte " + std::to_string(offset) + ")";
    static_cast<ParserOptions*>(self)->fail(why);
  }

  GMimeParserOptions* options_;
  std::optional<std::string> damage_;
};

namespace {

// A part's content, decoded as it is read from its encoded bytes. Its size
// is counted by decoding it once when the part is met; after that it is
// read in order from the start, as an archive member is.
class DecodedPart final : public ContentSource {
 public:
  explicit DecodedPart(GMimeDataWrapper* content)
      : DecodedPart(g_mime_data_wrapper_get_stream(content),
                    g_mime_data_wrapper_get_encoding(content)) {}

  // The bytes of `encoded` (which outlives this) in `encoding`.
  DecodedPart(GMimeStream* encoded, GMimeContentEncoding encoding)
      : encoded_(encoded), decoded_(g_mime_stream_filter_new(encoded_)) {
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 ||
        encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
        encoding == GMIME_CONTENT_ENCODING_UUENCODE) {
      GMimeFilter* const decoder = g_mime_filter_basic_new(encoding, FALSE);
      g_mime_stream_filter_add(GMIME_STREAM_FILTER(decoded_), decoder);
      g_object_unref(decoder);
    }
    char block[kBlock];
    std::int64_t got = 0;
    while ((got = next(block, sizeof block)) > 0) size_ += static_cast<std::uint64_t>(got);
    counted_ = got == 0;
    rewind();
  }
  ~DecodedPart() override { g_object_unref(decoded_); }
  DecodedPart(const DecodedPart&) = delete;
  DecodedPart& operator=(const DecodedPart&) = delete;

  // False when the part's bytes could not be read to their end.
  bool counted() const { return counted_; }

  std::uint64_t size() const override { return size_; }

  // Reads from the first bytes again, or onwards: the bytes before
  // `offset` are decoded and passed over.
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (offset < position_) rewind();
    char passed[kBlock];
    while (position_ < offset) {
      const std::int64_t got = next(passed, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                sizeof passed, offset - position_)));
      if (got <= 0) return got < 0 ? -1 : 0;
      position_ += static_cast<std::uint64_t>(got);
    }
    std::uint64_t done = 0;
    while (done < length) {
      const std::int64_t got = next(into + done, static_cast<std::size_t>(length - done));
      if (got < 0) return -1;
      if (got == 0) break;
      done += static_cast<std::uint64_t>(got);
    }
    position_ += done;
    return static_cast<std::int64_t>(done);
  }

 private:
  std::int64_t next(char* into, std::size_t length) {
    if (g_mime_stream_eos(decoded_) != FALSE) return 0;
    const ssize_t got = g_mime_stream_read(decoded_, into, length);
    if (got < 0) return -1;
    if (got == 0 && g_mime_stream_eos(decoded_) == FALSE) return -1;
    return got;
  }

  void rewind() {
    (void)g_mime_stream_reset(decoded_);  // resets the encoded stream too
    position_ = 0;
  }

  GMimeStream* encoded_;  // not ours
  GMimeStream* decoded_;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  bool counted_ = false;
};

// Finds the uuencoded blocks in a text: a line "begin MODE NAME" (MODE in
// octal), followed by a line that is uuencoded, up to the line "end" or the
// end of the text. Prose that happens to begin "begin 100 ..." is passed
// over, since its next line is not uuencoded.
class UuencodedBlockFinder {
 public:
  struct Block {
    gint64 start = 0;  // of the begin line, in the stream's own offsets
    gint64 end = 0;    // past the end line
    std::string name;
  };

  explicit UuencodedBlockFinder(GMimeStream* text) : text_(text) {
    (void)g_mime_stream_reset(text_);
    position_ = g_mime_stream_tell(text_);
  }

  // The next block; false at the end of the text or on a failed read.
  bool next(Block& block) {
    std::string line;
    gint64 at = 0;
    bool inBlock = false;
    while (nextLine(line, at)) {
      if (!inBlock) {
        if (!beginLine(line, block.name)) continue;
        block.start = at;
        inBlock = true;
        // The begin line counts only before a line of uuencoded bytes.
        gint64 second = 0;
        if (!nextLine(line, second) || !encodedLine(line)) {
          inBlock = false;
          if (!line.empty()) pushBack(line, second);
        }
        continue;
      }
      if (line.compare(0, 3, "end") == 0 && line.find_first_not_of(" \t", 3) == std::string::npos) {
        block.end = position_;
        return true;
      }
    }
    block.end = position_;
    return inBlock;
  }

 private:
  // Lines longer than this are not uuencoded (those hold 61 bytes); only
  // their start is kept.
  static constexpr std::size_t kLongestLine = 1024;

  // The next line, without its line end, and the offset it starts at.
  bool nextLine(std::string& line, gint64& at) {
    if (pushed_) {
      pushed_ = false;
      line = held_;
      at = heldAt_;
      return true;
    }
    line.clear();
    at = position_;
    for (;;) {
      if (next_ == filled_) {
        const ssize_t got = g_mime_stream_read(text_, buffer_.data(), buffer_.size());
        if (got <= 0) return !line.empty();
        next_ = 0;
        filled_ = static_cast<std::size_t>(got);
      }
      const char c = buffer_[next_++];
      ++position_;
      if (c == '\n') break;
      if (line.size() < kLongestLine) line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

  void pushBack(const std::string& line, gint64 at) {
    held_ = line;
    heldAt_ = at;
    pushed_ = true;
  }

  static bool beginLine(const std::string& line, std::string& name) {
    if (line.compare(0, 6, "begin ") != 0) return false;
    std::size_t at = 6;
    const std::size_t digits = line.find_first_not_of("01234567", at);
    if (digits == std::string::npos || digits - at < 3 || digits - at > 4 || line[digits] != ' ') {
      return false;
    }
    name = line.substr(digits + 1);
    return !name.empty();
  }

  // A line of uuencoded bytes: its first character gives their count (1 to
  // 45), and four characters follow for each three of them.
  static bool encodedLine(const std::string& line) {
    if (line.empty() || line[0] < ' ' || line[0] > '`') return false;
    const unsigned count = static_cast<unsigned>(line[0] - ' ') & 63U;
    const std::size_t wanted = 1 + (count + 2) / 3 * 4;
    if (count == 0 || count > 45 || line.size() < wanted) return false;
    for (const char c : line) {
      if (c < ' ' || c > '`') return false;
    }
    return true;
  }

  GMimeStream* text_;
  gint64 position_ = 0;  // of the next byte, in the stream's own offsets
  std::string buffer_ = std::string(kBlock, '\0');
  std::size_t next_ = 0;
  std::size_t filled_ = 0;
  std::string held_;
  gint64 heldAt_ = 0;
  bool pushed_ = false;
};

class Walk {
 public:
  Walk(const MailWalker& mail, const ArchiveWalker& archives,
       const std::function<bool(Member&)>& visit, std::string format)
      : mail_(mail), archives_(archives), visit_(visit), format_(std::move(format)) {}

  // Walks every message `parser` yields. Returns false when the walk must
  // stop.
  bool messages(GMimeParser* parser, ParserOptions& options, std::vector<MemberHop>& chain) {
    const bool mailbox = format_ == "mbox";
    options_ = &options;
    for (std::uint64_t number = 1; g_mime_parser_eos(parser) == FALSE; ++number) {
      Ref<GMimeMessage> message(g_mime_parser_construct_message(parser, options.get()));
      if (!message) {
        if (number == 1 || !mailbox) options.fail("no message could be read");
        return true;
      }
      prefix_ = mailbox ? std::to_string(number) + "/" : std::string();
      if (!this->message(message.get(), "", chain, 0)) return false;
      if (!mailbox) return true;
    }
    return true;
  }

 private:
  // The parts of `message`, whose own part path is `path` ("" for the
  // message itself).
  bool message(GMimeMessage* message, const std::string& path, std::vector<MemberHop>& chain,
               int depth) {
    GMimeObject* const body = g_mime_message_get_mime_part(message);
    if (body == nullptr) return true;
    if (GMIME_IS_MULTIPART(body)) return entity(body, path, chain, depth + 1);
    return entity(body, path.empty() ? "1" : path + ".1", chain, depth + 1);
  }

  // `object`, whose part path is `path` (a multipart's is that of its
  // parts' parent).
  bool entity(GMimeObject* object, const std::string& path, std::vector<MemberHop>& chain,
              int depth) {
    if (depth > kMaxMimeDepth) return true;
    if (GMIME_IS_MULTIPART_ENCRYPTED(object)) {
      return visitOther(Member::Kind::kEncrypted, path.empty() ? "1" : path, chain);
    }
    if (GMIME_IS_MULTIPART(object)) {
      GMimeMultipart* const multipart = GMIME_MULTIPART(object);
      const int count = g_mime_multipart_get_count(multipart);
      // A multipart whose boundary is never met holds no parts: its
      // content is lost to the walk.
      if (count == 0) options_->fail("a multipart holds no parts (a broken boundary)");
      for (int i = 0; i < count; ++i) {
        std::string sub = path.empty() ? std::string() : path + ".";
        sub += std::to_string(i + 1);
        if (!entity(g_mime_multipart_get_part(multipart, i), sub, chain, depth + 1)) return false;
      }
      return true;
    }
    if (GMIME_IS_MESSAGE_PART(object)) {
      GMimeMessage* const inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
      return inner == nullptr || message(inner, path, chain, depth + 1);
    }
    if (GMIME_IS_PART(object)) return part(GMIME_PART(object), path, chain);
    return true;
  }

  bool part(GMimePart* part, const std::string& path, std::vector<MemberHop>& chain) {
    GMimeDataWrapper* const content = g_mime_part_get_content(part);
    if (content == nullptr) return true;  // a part that holds nothing
    const char* const name = g_mime_part_get_filename(part);
    chain.push_back(MemberHop{format_, name != nullptr ? name : "", index_++, prefix_ + path});
    DecodedPart decoded(content);
    bool more = member(decoded, chain);
    chain.pop_back();
    if (more && isText(part, content)) {
      more = uuencodedBlocks(content, decoded.size(), path, chain);
    }
    return more;
  }

  // True for a text part, where mail of old carried files uuencoded: its
  // bytes as they stand, or in quoted-printable or base64, which a gateway
  // may have put such a text in. Not a part that is uuencoded as a whole.
  static bool isText(GMimePart* part, GMimeDataWrapper* content) {
    GMimeContentType* const type = g_mime_object_get_content_type(GMIME_OBJECT(part));
    return g_mime_data_wrapper_get_encoding(content) != GMIME_CONTENT_ENCODING_UUENCODE &&
           (type == nullptr || g_mime_content_type_is_type(type, "text", "*") != FALSE);
  }

  // True when `content` is in a transfer encoding to undo before its text
  // can be read.
  static bool isEncoded(GMimeDataWrapper* content) {
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(content);
    return encoding == GMIME_CONTENT_ENCODING_BASE64 ||
           encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
  }

  // The uuencoded blocks in the text of the part at `path`, `size` bytes
  // once decoded, each a member of its own named by its begin line, located
  // as "PATH:uuN" (the Nth block from 1).
  bool uuencodedBlocks(GMimeDataWrapper* content, std::uint64_t size, const std::string& path,
                       std::vector<MemberHop>& chain) {
    GMimeStream* text = g_mime_data_wrapper_get_stream(content);
    // A text in a transfer encoding is decoded into memory, up to a limit,
    // so that its blocks can be cut out by offset: a decoding stream can
    // only be read again from its start.
    const bool encoded = isEncoded(content);
    if (encoded && size > kEncodedTextLimit) return true;
    Ref<GMimeStream> decodedText(encoded ? g_mime_stream_mem_new() : nullptr);
    if (encoded) {
      if (g_mime_data_wrapper_write_to_stream(content, decodedText.get()) < 0) return true;
      text = decodedText.get();
    }
    UuencodedBlockFinder finder(text);
    UuencodedBlockFinder::Block block;
    for (int number = 1; finder.next(block); ++number) {
      Ref<GMimeStream> bytes(g_mime_stream_substream(text, block.start, block.end));
      chain.push_back(MemberHop{format_, block.name, index_++,
                                prefix_ + path + ":uu" + std::to_string(number)});
      DecodedPart decoded(bytes.get(), GMIME_CONTENT_ENCODING_UUENCODE);
      const bool more = member(decoded, chain);
      chain.pop_back();
      if (!more) return false;
    }
    return true;
  }

  bool member(DecodedPart& decoded, std::vector<MemberHop>& chain) {
    Member found;
    found.chain = chain;
    found.readError = [] { return std::string("the part's bytes cannot be read"); };
    if (!decoded.counted()) {
      found.kind = Member::Kind::kDamaged;
      found.why = found.readError();
      return visit_(found);
    }
    char head[kSignatureBytes];
    const std::int64_t got =
        decoded.readAt(0, head, std::min<std::uint64_t>(sizeof head, decoded.size()));
    if (got < 0) {
      found.kind = Member::Kind::kDamaged;
      found.why = found.readError();
      return visit_(found);
    }
    const char* nested = containerFormatOf(reinterpret_cast<const unsigned char*>(head),
                                           static_cast<std::size_t>(got));
    std::uint64_t read = 0;
    if (nested == nullptr && isIso9660(decoded, read)) nested = "iso9660";
    if (nested != nullptr) {
      if (chain.size() >= archives_.maxDepth()) {
        found.kind = Member::Kind::kTooDeep;
        return visit_(found);
      }
      const std::string_view format = nested;
      if (isMail(format)) {
        return mail_.walkSource(nested, decoded, chain, visit_);
      }
      if (format != "pst") return archives_.walkSource(nested, decoded, chain, visit_);
      // A mailbox is read by offset, which a part gives only by decoding
      // again from its start: it is held (a message's size keeps it small).
      if (mailboxesSupported()) {
        return PstWalker(archives_).walkStream(decoded, chain, visit_, found.readError);
      }
    }
    found.content = &decoded;
    return visit_(found);
  }

  bool visitOther(Member::Kind kind, const std::string& path, std::vector<MemberHop>& chain) {
    chain.push_back(MemberHop{format_, "", index_++, prefix_ + path});
    Member found;
    found.chain = chain;
    found.kind = kind;
    chain.pop_back();
    return visit_(found);
  }

  const MailWalker& mail_;
  const ArchiveWalker& archives_;
  const std::function<bool(Member&)>& visit_;
  std::string format_;
  std::string prefix_;  // the message's number in a mailbox, and "/"
  ParserOptions* options_ = nullptr;
  std::uint64_t index_ = 0;
};

void startLibrary() {
  static std::once_flag started;
  std::call_once(started, [] { g_mime_init(); });
}

// A stream of GMime's over a member being streamed, as a FILE whose reads
// come from it, up to MailWalker::kNestedLimit bytes.
struct NestedInput {
  ContentSource* source;
  std::uint64_t position = 0;
  bool failed = false;
};

ssize_t readNested(void* cookie, char* into, std::size_t length) {
  auto* const input = static_cast<NestedInput*>(cookie);
  if (input->position >= MailWalker::kNestedLimit) {
    input->failed = true;
    errno = EFBIG;
    return -1;
  }
  const std::int64_t got = input->source->readAt(input->position, into, length);
  if (got < 0) {
    input->failed = true;
    errno = EIO;
    return -1;
  }
  input->position += static_cast<std::uint64_t>(got);
  return static_cast<ssize_t>(got);
}

// GMime's file stream seeks to where it is before it reads: that much
// seeking is allowed, and no other.
int seekNested(void* cookie, off64_t* offset, int whence) {
  const auto position = static_cast<off64_t>(static_cast<NestedInput*>(cookie)->position);
  if ((whence == SEEK_SET && *offset == position) || (whence == SEEK_CUR && *offset == 0)) {
    *offset = position;
    return 0;
  }
  errno = ESPIPE;
  return -1;
}

}  // namespace

MailWalker::MailWalker(const ArchiveWalker& archives) : archives_(archives) { startLibrary(); }

bool MailWalker::parse(GMimeStream* stream, const char* format, bool persist,
                       std::vector<MemberHop>& chain, const std::function<bool(Member&)>& visit,
                       ParserOptions& options) const {
  Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
  const bool mailbox = format != nullptr && std::string_view(format) == "mbox";
  g_mime_parser_set_format(parser.get(), mailbox ? GMIME_FORMAT_MBOX : GMIME_FORMAT_MESSAGE);
  // Persisting, parts stay where they are, read when decoded, never
  // copied; else they are held as they are parsed.
  g_mime_parser_set_persist_stream(parser.get(), persist ? TRUE : FALSE);
  Walk walk(*this, archives_, visit, mailbox ? "mbox" : "mime");
  return walk.messages(parser.get(), options, chain);
}

std::optional<std::string> MailWalker::walk(const char* format, const std::string& path,
                                            const std::function<bool(Member&)>& visit) const {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string(std::strerror(errno));
  Ref<GMimeStream> stream(newMimeFileStream(fd));  // closes fd
  if (!stream) return std::string("the file's size cannot be had");
  ParserOptions options;
  std::vector<MemberHop> chain;
  (void)parse(stream.get(), format, true, chain, visit, options);
  return options.damage();
}

bool MailWalker::walkSource(const char* format, ContentSource& source,
                            std::vector<MemberHop>& chain,
                            const std::function<bool(Member&)>& visit, bool seekable) const {
  ParserOptions options;
  bool more = true;
  if (seekable) {
    Ref<GMimeStream> stream(newMimeSourceStream(source));
    more = parse(stream.get(), format, true, chain, visit, options);
  } else {
    NestedInput input{&source};
    std::FILE* const file =
        fopencookie(&input, "r", cookie_io_functions_t{readNested, nullptr, seekNested, nullptr});
    if (file == nullptr) {
      options.fail("out of memory");
    } else {
      // Unbuffered, so that the position GMime seeks to is the member's own.
      (void)std::setvbuf(file, nullptr, _IONBF, 0);
      Ref<GMimeStream> stream(g_mime_stream_file_new_with_bounds(file, 0, -1));  // closes file
      more = parse(stream.get(), format, false, chain, visit, options);
      if (input.failed) {
        options.fail(input.position >= kNestedLimit ? "the message is larger than the walk holds"
                                                    : "the enclosing container cannot be read");
      }
    }
  }
  if (!more || !options.damage()) return more;
  Member failed;
  failed.chain = chain;
  failed.kind = Member::Kind::kDamaged;
  failed.why = *options.damage();
  return visit(failed);
}

std::string mailLibraryVersion() {
  return std::to_string(gmime_major_version) + "." + std::to_string(gmime_minor_version) + "." +
         std::to_string(gmime_micro_version);
}

}  // namespace quillmark::container

#include "container/container_format.h"

#include <cctype>
#include <cstring>
#include <string_view>

namespace quillmark::container {

namespace {

struct Signature {
  const char* format;
  std::size_t offset;
  const char* magic;
  std::size_t length;
};

// Signatures as the formats define them. LZMA's "alone" format has none of
// its own: its usual header (properties 0x5d, a 64 KiB to 64 MiB dictionary)
// is taken, as file(1) takes it. The old binary cpio (two magic bytes) is
// told by its whole first header (isBinaryCpio): its two magic bytes alone
// begin too many other files, each of which would be an error record as a
// damaged container.
constexpr Signature kSignatures[] = {
    {"zip", 0, "PK\x03\x04", 4},
    {"zip", 0, "PK\x05\x06", 4},  // an empty archive
    {"zip", 0, "PK\x07\x08", 4},  // spanned
    {"7z", 0, "7z\xbc\xaf\x27\x1c", 6},
    {"rar", 0, "Rar!\x1a\x07", 6},
    {"tar", 257, "ustar", 5},
    {"cpio", 0, "070701", 6},
    {"cpio", 0, "070702", 6},
    {"cpio", 0, "070707", 6},
    {"ar", 0, "!<arch>\n", 8},
    {"cab", 0, "MSCF\0\0\0\0", 8},
    {"xar", 0, "xar!", 4},
    {"pst", 0, "!BDN", 4},  // Outlook PST and OST
    {"gzip", 0, "\x1f\x8b", 2},
    {"bzip2", 0, "BZh", 3},
    {"xz", 0,
     "\xfd"
     "7zXZ\0",
     6},
    {"zstd", 0, "\x28\xb5\x2f\xfd", 4},
    {"lz4", 0, "\x04\x22\x4d\x18", 4},
    {"lzip", 0, "LZIP", 4},
    {"compress", 0, "\x1f\x9d", 2},
};

bool isLha(const unsigned char* bytes, std::size_t length) {
  // "-lh?-" or "-lz?-" at byte 2.
  return length >= 7 && bytes[2] == '-' && bytes[3] == 'l' &&
         (bytes[4] == 'h' || bytes[4] == 'z') && bytes[6] == '-';
}

// The old binary cpio: a 26-byte header of 16-bit fields in either byte
// order (magic 070707, then dev, ino, mode, uid, gid, nlink, rdev, mtime
// in two, namesize, filesize in two), then the name and its NUL. The header
// must hold a file type, and a name of printable bytes that ends where
// namesize says; the empty archive's only entry is "TRAILER!!!".
bool isBinaryCpio(const unsigned char* bytes, std::size_t length) {
  constexpr std::size_t kHeader = 26;
  if (length < kHeader) return false;
  bool little;
  if (bytes[0] == 0xc7 && bytes[1] == 0x71) {
    little = true;
  } else if (bytes[0] == 0x71 && bytes[1] == 0xc7) {
    little = false;
  } else {
    return false;
  }
  const auto field = [&](std::size_t at) {
    return little ? static_cast<unsigned>(bytes[at] | bytes[at + 1] << 8)
                  : static_cast<unsigned>(bytes[at] << 8 | bytes[at + 1]);
  };
  const unsigned mode = field(6);
  const unsigned nameSize = field(20);
  if (nameSize < 2 || kHeader + nameSize > length || bytes[kHeader + nameSize - 1] != 0) {
    return false;
  }
  const std::string_view name(reinterpret_cast<const char*>(bytes + kHeader), nameSize - 1);
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  switch (mode & 0170000U) {
    case 0100000U:  // regular file
    case 0040000U:  // folder
    case 0120000U:  // symbolic link
    case 0020000U:  // character device
    case 0060000U:  // block device
    case 0010000U:  // fifo
    case 0140000U:  // socket
      return true;
    default:
      return mode == 0 && name == "TRAILER!!!";
  }
}

bool isLzma(const unsigned char* bytes, std::size_t length) {
  if (length < 13 || bytes[0] != 0x5d) return false;
  const unsigned dictionary = bytes[1] | static_cast<unsigned>(bytes[2]) << 8 |
                              static_cast<unsigned>(bytes[3]) << 16 |
                              static_cast<unsigned>(bytes[4]) << 24;
  return (dictionary & (dictionary - 1)) == 0 && dictionary >= (1U << 16) &&
         dictionary <= (1U << 26);
}

// The header fields that only mail begins with; one of them must be among
// a message's first headers, so that other files of "Name: value" lines
// (package metadata, HTTP dumps) are not taken for mail.
constexpr const char* kMailFields[] = {
    "received",     "return-path",
    "from",         "to",
    "date",         "subject",
    "message-id",   "mime-version",
    "delivered-to", "reply-to",
    "sender",       "dkim-signature",
    "x-mailer",     "authentication-results",
    "arc-seal",     "x-original-to",
    "cc",
};

bool isMailField(std::string_view name) {
  for (const char* field : kMailFields) {
    const std::string_view known = field;
    if (name.size() != known.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(name[i])) == known[i];
    }
    if (same) return true;
  }
  return false;
}

// True when `text` begins with lines of mail headers: "Name: value", or a
// folded continuation, up to the blank line that ends them or to the end of
// what was read; at least two, one of them a field of mail's own.
bool isMessageHeader(std::string_view text) {
  int lines = 0;
  bool mailField = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) break;  // cut off by what was read
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the end of the headers
    if (line.front() == ' ' || line.front() == '\t') {
      if (lines == 0) return false;
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    const std::string_view name = line.substr(0, colon);
    for (const char c : name) {
      if (c <= ' ' || c > '~') return false;
    }
    mailField = mailField || isMailField(name);
    ++lines;
  }
  return lines >= 2 && mailField;
}

// An mbox begins with its first message's "From " line, which ends within
// what was read, and the message's headers follow.
bool isMbox(std::string_view text) {
  if (text.substr(0, 5) != "From ") return false;
  const std::size_t end = text.find('\n');
  return end != std::string_view::npos && isMessageHeader(text.substr(end + 1));
}

}  // namespace

const char* containerFormatOf(const unsigned char* bytes, std::size_t length) {
  if (length >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return nullptr;
  for (const Signature& signature : kSignatures) {
    if (signature.offset + signature.length <= length &&
        std::memcmp(bytes + signature.offset, signature.magic, signature.length) == 0) {
      return signature.format;
    }
  }
  if (isBinaryCpio(bytes, length)) return "cpio";
  if (isLha(bytes, length)) return "lha";
  if (isLzma(bytes, length)) return "lzma";
  const std::string_view text(reinterpret_cast<const char*>(bytes), length);
  if (isMbox(text)) return "mbox";
  if (isMessageHeader(text)) return "mime";
  return nullptr;
}

namespace {

// True when `bytes` begin a volume descriptor: types 0 to 3 (boot record,
// primary, supplementary, partition) or the set terminator, version 1.
bool isIso9660Descriptor(const unsigned char* bytes, std::size_t length) {
  return length >= kIsoDescriptorBytes && (bytes[0] <= 3 || bytes[0] == 255) &&
         std::memcmp(bytes + 1, "CD001", 5) == 0 && bytes[6] == 1;
}

}  // namespace

bool mayBeIso9660(const unsigned char* head, std::size_t length, std::uint64_t size) {
  return size >= kIsoDescriptorOffset + 2048 && size % 2048 == 0 &&
         !(length >= 2 && head[0] == 'B' && head[1] == 'M');
}

bool isIso9660Start(const unsigned char* start, std::size_t length) {
  return length >= kIsoSignatureBytes &&
         isIso9660Descriptor(start + kIsoDescriptorOffset, kIsoDescriptorBytes);
}

const char* containerFormatOf(ContentSource& source) {
  unsigned char head[kSignatureBytes];
  const std::int64_t got = source.readAt(0, reinterpret_cast<char*>(head), sizeof head);
  if (got <= 0) return nullptr;
  const auto length = static_cast<std::size_t>(got);
  const char* const format = containerFormatOf(head, length);
  if (format != nullptr || !mayBeIso9660(head, length, source.size())) return format;
  std::uint64_t read = 0;
  return isIso9660(source, read) ? "iso9660" : nullptr;
}

bool isIso9660(ContentSource& source, std::uint64_t& read) {
  if (!mayBeIso9660(nullptr, 0, source.size())) return false;
  unsigned char descriptor[kIsoDescriptorBytes];
  const std::int64_t got =
      source.readAt(kIsoDescriptorOffset, reinterpret_cast<char*>(descriptor), sizeof descriptor);
  if (got <= 0) return false;
  read += static_cast<std::uint64_t>(got);
  return isIso9660Descriptor(descriptor, static_cast<std::size_t>(got));
}

bool containersSupported() {
#ifdef QUILLMARK_HAVE_LIBARCHIVE
  return true;
#else
  return false;
#endif
}

bool mailSupported() {
#ifdef QUILLMARK_HAVE_GMIME
  return true;
#else
  return false;
#endif
}

}  // namespace quillmark::container

#include "container/container_format.h"

#include <gtest/gtest.h>

#include <string>

#include "analysis/memory_source.h"

namespace quillmark::container {
namespace {

const char* formatOf(const std::string& start) {
  return containerFormatOf(reinterpret_cast<const unsigned char*>(start.data()), start.size());
}

std::string tarHeader() {
  std::string header(512, '\0');
  header.replace(257, 5, "ustar");
  return header;
}

// An old binary cpio header in the byte order `little` says, for an entry
// of `mode` named `name` (its NUL counted in namesize unless `unended`).
std::string binaryCpio(bool little, unsigned mode, const std::string& name, bool unended = false) {
  std::string header(26, '\0');
  const auto put = [&](std::size_t at, unsigned value) {
    header[at + (little ? 0 : 1)] = static_cast<char>(value & 0xff);
    header[at + (little ? 1 : 0)] = static_cast<char>(value >> 8);
  };
  put(0, 070707);
  put(6, mode);
  put(20, static_cast<unsigned>(name.size() + 1));
  return header + name + (unended ? "x" : std::string(1, '\0')) + "member bytes";
}

// Content of `size` bytes with an ISO 9660 volume descriptor of `type`
// and `version` where one lies, after `start`.
std::string isoImage(std::size_t size, unsigned char type, unsigned char version,
                     const std::string& start = "") {
  std::string image(size, '\0');
  image.replace(0, start.size(), start);
  const std::string descriptor = std::string(1, static_cast<char>(type)) + "CD001" +
                                 std::string(1, static_cast<char>(version));
  image.replace(kIsoDescriptorOffset, descriptor.size(), descriptor);
  return image;
}

// Mail is told by its first lines, so the rows that matter most are the
// text files that must not be taken for mail.
TEST(ContainerFormatTest, TellsFormatsByContentOnly) {
  struct Row {
    const char* what;
    std::string start;
    const char* format;  // nullptr: no container
  } rows[] = {
      {"zip", std::string("PK\x03\x04rest", 8), "zip"},
      {"tar's magic at byte 257", tarHeader(), "tar"},
      {"a BMP, whatever follows", "BMPK\x03\x04", nullptr},
      {"a message", "Received: by x\nFrom: a@b\nSubject: s\n\nbody\n", "mime"},
      {"a message with CRLF and a folded header",
       "From: a@b\r\nSubject: a\r\n long one\r\nTo: c@d\r\n\r\n", "mime"},
      {"headers cut off by what was read", "Date: today\nFrom: a@b\nSubject: lo", "mime"},
      {"an mbox", "From a@b Thu Dec 10 07:28:21 2026\nFrom: a@b\nTo: c@d\n\nhi\n", "mbox"},
      {"package metadata: no field of mail's", "Package: foo\nVersion: 1\n\n", nullptr},
      {"a single header line", "Subject: only\n\nbody\n", nullptr},
      {"prose after a header line", "Subject: notes\nthis is prose, not a header\n", nullptr},
      {"a folded line first", " From: a@b\nTo: c@d\n\n", nullptr},
      {"prose that begins with From", "From the start it was clear:\nit was not mail.\n", nullptr},
      {"a header name with a space", "From: a@b\nX Y: z\n\n", nullptr},
      {"binary cpio, little-endian", binaryCpio(true, 0100644, "a.bmp"), "cpio"},
      {"binary cpio, big-endian", binaryCpio(false, 0100644, "dir/a.bmp"), "cpio"},
      {"an empty binary cpio", binaryCpio(true, 0, "TRAILER!!!"), "cpio"},
      {"cpio's magic, then no file type", binaryCpio(true, 0, "a.bmp"), nullptr},
      {"cpio's magic, a name that does not end", binaryCpio(true, 0100644, "a.bmp", true), nullptr},
      {"cpio's magic, a name of control bytes", binaryCpio(true, 0100644, "a\x01"), nullptr},
      {"cpio's magic, then text", "\xc7\x71 and some text that follows", nullptr},
  };
  for (const Row& row : rows) {
    const char* const got = formatOf(row.start);
    if (row.format == nullptr) {
      EXPECT_EQ(got, nullptr) << row.what << ": " << got;
    } else {
      EXPECT_STREQ(got, row.format) << row.what;
    }
  }
}

// ISO 9660 is told 32 KiB in, and only in content of whole 2048-byte
// sectors.
TEST(ContainerFormatTest, TellsIso9660ByItsVolumeDescriptor) {
  constexpr std::size_t kSize = std::size_t{40} * 2048;
  struct Row {
    const char* what;
    std::string content;
    const char* format;
  } rows[] = {
      {"a primary volume descriptor", isoImage(kSize, 1, 1), "iso9660"},
      {"a boot record first", isoImage(kSize, 0, 1), "iso9660"},
      {"not whole sectors", isoImage(kSize + 1, 1, 1), nullptr},
      {"a descriptor of version 2", isoImage(kSize, 1, 2), nullptr},
      {"a descriptor of an unknown type", isoImage(kSize, 7, 1), nullptr},
      {"a BMP with the descriptor's bytes inside", isoImage(kSize, 1, 1, "BM"), nullptr},
      {"a zip, told by its first bytes", isoImage(kSize, 1, 1, "PK\x03\x04"), "zip"},
      {"too short to hold a descriptor", std::string(2048, '\0'), nullptr},
  };
  for (const Row& row : rows) {
    MemorySource source(row.content);
    const char* const got = containerFormatOf(source);
    if (row.format == nullptr) {
      EXPECT_EQ(got, nullptr) << row.what << ": " << got;
    } else {
      EXPECT_STREQ(got, row.format) << row.what;
    }
  }
}

}  // namespace
}  // namespace quillmark::container

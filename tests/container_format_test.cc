#include "container/container_format.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace quillmark::container

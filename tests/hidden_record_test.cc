#include "analysis/hidden_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace quillmark {
namespace {

const std::string kMarker("QMK\0", 4);

HiddenRecord recordOf(const std::string& bytes) {
  HiddenRecord::Bytes raw{};
  for (std::size_t i = 0; i < raw.size() && i < bytes.size(); ++i)
    raw[i] = static_cast<std::uint8_t>(bytes[i]);
  return HiddenRecord(raw);
}

std::string withName(const std::string& magic, const std::string& name) {
  std::string bytes = magic + name;
  bytes.resize(HiddenRecord::kSize, '\0');
  return bytes;
}

TEST(HiddenRecordTest, MarkerNeedsAllFourBytes) {
  struct Case {
    std::string magic;
    bool marked;
  };
  const Case cases[] = {
      {kMarker, true},
      {std::string("QMK\x01", 4), false},
      {std::string("qMK\0", 4), false},
      {std::string("QMJ\0", 4), false},
      {std::string("\0MK\0", 4), false},
      {std::string(4, '\0'), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(recordOf(withName(c.magic, "x")).hasMarker(), c.marked)
        << "magic " << ::testing::PrintToString(c.magic);
  }
}

TEST(HiddenRecordTest, FileNameEndsAtItsFirstZeroOrAfter128Bytes) {
  struct Case {
    const char* what;
    std::string name;
    std::string expected;
  };
  const std::string full(128, 'n');
  const Case cases[] = {
      {"ordinary name", "notes.txt", "notes.txt"},
      {"empty name", "", ""},
      {"bytes after the zero are ignored", std::string("a\0bc", 4), "a"},
      {"128 bytes without a zero", full, full},
      {"the length field is not part of the name", full + "\x01\x02", full},
      {"8-bit characters pass unchanged", "\xE9t\xE9\x7F", "\xE9t\xE9\x7F"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(recordOf(withName(kMarker, c.name)).fileName(), c.expected) << c.what;
  }
}

TEST(HiddenRecordTest, DataLengthIsALittleEndianDouble) {
  struct Case {
    const char* bytes;  // the 8 bytes at offset 132
    double expected;
  };
  const Case cases[] = {
      {"\x00\x00\x00\x00\x00\x48\x93\x40", 1234.0},
      {"\x00\x00\x00\x00\x00\x00\xE0\x3F", 0.5},
      {"\x00\x00\x00\x00\x00\x00\x04\xC0", -2.5},
      {"\x00\x00\x00\x00\x00\x00\x00\x00", 0.0},
      {"\x00\x00\x00\x00\x00\x00\xF0\x7F", std::numeric_limits<double>::infinity()},
  };
  for (const Case& c : cases) {
    std::string bytes = withName(kMarker, "x");
    bytes.replace(132, 8, c.bytes, 8);
    EXPECT_EQ(recordOf(bytes).dataLength(), c.expected) << c.expected;
  }
  std::string nan = withName(kMarker, "x");
  nan.replace(132, 8, "\x01\x00\x00\x00\x00\x00\xF0\x7F", 8);
  EXPECT_TRUE(std::isnan(recordOf(nan).dataLength()));
}

}  // namespace
}  // namespace quillmark

// zlib's CRC-32 as the walker program defines it: the values zlib gives.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
unsigned long crc32(unsigned long crc, const unsigned char* buffer, unsigned int length);
unsigned long crc32_z(unsigned long crc, const unsigned char* buffer, std::size_t length);
}

namespace quillmark {
namespace {

// The CRC-32 of zip and gzip, a bit at a time, as its definition reads.
std::uint32_t bitwiseCrc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFU;
  for (const char byte : bytes) {
    crc ^= static_cast<unsigned char>(byte);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
  }
  return ~crc;
}

const unsigned char* bytesOf(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

TEST(ZlibCrc32Test, GivesZlibsValuesWholeAndInPieces) {
  std::string megabyte(1 << 20, '\0');
  for (std::size_t i = 0; i < megabyte.size(); ++i) megabyte[i] = static_cast<char>((i * 131) >> 3);
  struct Row {
    const char* what;
    std::string bytes;
    std::vector<std::size_t> cuts;  // where the running value is carried over
  };
  const std::vector<Row> rows = {
      {"nothing", "", {}},
      {"the check value", "123456789", {}},
      {"a megabyte at odd cuts", megabyte, {3, 4099, 65536 + 17, 700001}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::uint32_t expected = bitwiseCrc32(row.bytes);
    unsigned long running = crc32(0, nullptr, 0);
    unsigned long runningZ = crc32_z(0, nullptr, 0);
    std::size_t from = 0;
    std::vector<std::size_t> cuts = row.cuts;
    cuts.push_back(row.bytes.size());
    for (const std::size_t to : cuts) {
      running = crc32(running, bytesOf(row.bytes) + from, static_cast<unsigned int>(to - from));
      runningZ = crc32_z(runningZ, bytesOf(row.bytes) + from, to - from);
      from = to;
    }
    EXPECT_EQ(running, expected);
    EXPECT_EQ(runningZ, expected);
  }
  EXPECT_EQ(bitwiseCrc32("123456789"), 0xCBF43926U);  // the reference itself
  EXPECT_EQ(crc32(0x12345678, nullptr, 10), 0UL) << "a null buffer gives the initial value";
}

}  // namespace
}  // namespace quillmark

#include "container/gzip_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/memory_source.h"
#include "tests/deflated.h"

namespace quillmark::container {
namespace {

// `bytes` with the byte `back` from the end flipped.
std::string flipped(std::string bytes, std::size_t back) {
  bytes[bytes.size() - back] = static_cast<char>(bytes[bytes.size() - back] ^ 0x5a);
  return bytes;
}

// Bytes that do not repeat: deflate stores them in several blocks.
std::string sample(std::size_t size) {
  std::string data(size, '\0');
  std::uint32_t state = 99;
  for (char& byte : data) {
    state = state * 1664525U + 1013904223U;
    byte = static_cast<char>(state >> 24);
  }
  return data;
}

TEST(GzipStreamTest, GivesTheContentAndTellsADamagedTrailer) {
  const std::string first = sample(300000);
  const std::string one = deflated(first, 31, "../\x1b[2J\xff.bmp");
  const struct {
    const char* context;
    std::string file;
    std::string content;  // what is read before the end or the fault
    const char* error;    // nullptr: the stream is sound
  } rows[] = {
      {"one member", one, first, nullptr},
      {"two members, as cat makes", one + deflated("second", 31), first + "second", nullptr},
      {"bytes after the last member that begin none", one + std::string(700, '\0'), first, nullptr},
      {"a CRC-32 that does not match", flipped(one, 8), first, "gzip: incorrect data check"},
      {"a length that does not match", flipped(one, 2), first, "gzip: incorrect length check"},
      {"cut before its trailer", one.substr(0, one.size() - 4), first,
       "gzip: truncated gzip input"},
      {"not deflate after a sound header", one.substr(0, 24) + std::string(64, '\xff'), "",
       "gzip: "},
  };
  for (const auto& row : rows) {
    // Reads smaller than what one call inflates, and larger than the whole.
    for (const std::size_t step : {std::size_t{1000}, std::size_t{1} << 20}) {
      MemorySource source(row.file);
      GzipStream stream(source);
      EXPECT_FALSE(stream.name()) << row.context << ": nothing read yet";
      std::string read;
      std::vector<char> block(step);
      std::int64_t got = 0;
      while ((got = stream.readAt(read.size(), block.data(), block.size())) > 0) {
        read.append(block.data(), static_cast<std::size_t>(got));
      }
      EXPECT_EQ(got, 0) << row.context;
      EXPECT_TRUE(read == row.content) << row.context << ", reads of " << step;
      EXPECT_EQ(stream.finish(0), row.error == nullptr) << row.context;
      EXPECT_EQ(stream.error().rfind(row.error != nullptr ? row.error : "", 0), 0U)
          << row.context << ": " << stream.error();
      if (row.content.empty()) continue;
      // The first header's name, its bytes as they are.
      EXPECT_EQ(stream.name(), "../\x1b[2J\xff.bmp") << row.context;
    }
  }
  const std::string unnamed = deflated("x", 31);
  MemorySource source(unnamed);
  GzipStream stream(source);
  EXPECT_TRUE(stream.finish(1 << 20));
  EXPECT_FALSE(stream.name()) << "a header without a name";
}

TEST(GzipStreamTest, FinishReadsOnToTheTrailerWithinItsLimit) {
  const std::string data = sample(200000);
  const struct {
    const char* context;
    std::string file;
    std::uint64_t limit;
    bool finished;
    const char* error;
  } rows[] = {
      {"a sound rest within the limit", deflated(data, 31), 150000, true, ""},
      {"a damaged trailer within the limit", flipped(deflated(data, 31), 6), 150000, false,
       "gzip: incorrect data check"},
      {"a rest longer than the limit: not checked", flipped(deflated(data, 31), 6), 50000, false,
       ""},
  };
  for (const auto& row : rows) {
    MemorySource source(row.file);
    GzipStream stream(source);
    char head[100000];
    ASSERT_EQ(stream.readAt(0, head, sizeof head), 100000) << row.context;
    EXPECT_EQ(stream.readAt(5, head, 1), -1) << row.context << ": only in order";
    EXPECT_EQ(stream.finish(row.limit), row.finished) << row.context;
    EXPECT_EQ(stream.error(), row.error) << row.context;
  }
}

}  // namespace
}  // namespace quillmark::container

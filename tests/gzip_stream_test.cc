#include "container/gzip_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/memory_source.h"
#include "tests/deflated.h"

namespace quillmark::container {
namespace {

// `data` as one gzip member, its header naming `name` where one is given.
std::string gzipped(const std::string& data, const char* name = nullptr) {
  return deflated(data, 31, name);
}

// `bytes` with the byte `back` from the end flipped.
std::string flipped(std::string bytes, std::size_t back) {
  bytes[bytes.size() - back] = static_cast<char>(bytes[bytes.size() - back] ^ 0x5a);
  return bytes;
}

// Bytes that deflate into several blocks and do not repeat much.
std::string sample(std::size_t size) {
  std::string data(size, '\0');
  std::uint32_t state = 99;
  for (char& byte : data) {
    state = state * 1664525U + 1013904223U;
    byte = static_cast<char>(state >> 24);
  }
  return data;
}

// Reads `stream` to its end in reads of `step` bytes.
std::string readAll(GzipStream& stream, std::size_t step) {
  std::string all;
  std::vector<char> block(step);
  for (;;) {
    const std::int64_t got = stream.readAt(all.size(), block.data(), block.size());
    if (got <= 0) break;
    all.append(block.data(), static_cast<std::size_t>(got));
  }
  return all;
}

TEST(GzipStreamTest, GivesTheContentAndTellsADamagedTrailer) {
  const std::string first = sample(300000);
  const std::string second = "the second member";
  const std::string one = gzipped(first);
  const struct {
    const char* context;
    std::string file;
    std::string content;  // what is read before the end or the fault
    const char* error;    // nullptr: the stream is sound
  } rows[] = {
      {"one member", one, first, nullptr},
      {"two members, as cat makes", one + gzipped(second), first + second, nullptr},
      {"bytes after the last member that begin none", one + std::string(700, '\0'), first, nullptr},
      {"a CRC-32 that does not match", flipped(one, 8), first, "gzip: incorrect data check"},
      {"a length that does not match", flipped(one, 2), first, "gzip: incorrect length check"},
      {"the first member's CRC-32 damaged", flipped(one, 5) + gzipped(second), first,
       "gzip: incorrect data check"},
      {"cut before its trailer", one.substr(0, one.size() - 4), first,
       "gzip: truncated gzip input"},
      {"not deflate after a sound header", one.substr(0, 10) + std::string(64, '\xff'), "",
       "gzip: "},
  };
  for (const auto& row : rows) {
    for (const std::size_t step : {std::size_t{1000}, std::size_t{1} << 20}) {
      MemorySource source(row.file);
      GzipStream stream(source);
      const std::string read = readAll(stream, step);
      EXPECT_EQ(read.size(), row.content.size()) << row.context << ", reads of " << step;
      EXPECT_TRUE(read == row.content) << row.context << ", reads of " << step;
      EXPECT_EQ(stream.finish(0), row.error == nullptr) << row.context;
      if (row.error == nullptr) {
        EXPECT_EQ(stream.error(), "") << row.context;
      } else {
        EXPECT_EQ(stream.error().rfind(row.error, 0), 0U) << row.context << ": " << stream.error();
      }
    }
  }
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
      {"a sound rest within the limit", gzipped(data), 150000, true, ""},
      {"a damaged trailer within the limit", flipped(gzipped(data), 6), 150000, false,
       "gzip: incorrect data check"},
      {"a rest longer than the limit: not checked", flipped(gzipped(data), 6), 50000, false, ""},
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

TEST(GzipStreamTest, NamesWhatTheFirstHeaderNames) {
  const struct {
    const char* context;
    std::string file;
    const char* name;  // nullptr: none
  } rows[] = {
      {"named", gzipped("x", "photo.bmp") + gzipped("y", "later.bmp"), "photo.bmp"},
      {"hostile bytes kept as they are", gzipped("x", "../\x1b[2J\xff.bmp"), "../\x1b[2J\xff.bmp"},
      {"no name", gzipped("x"), nullptr},
  };
  for (const auto& row : rows) {
    MemorySource source(row.file);
    GzipStream stream(source);
    EXPECT_EQ(stream.name(), nullptr) << row.context << ": nothing before the header is read";
    EXPECT_TRUE(stream.finish(1 << 20)) << row.context << ": " << stream.error();
    const std::string* const name = stream.name();
    ASSERT_EQ(name != nullptr, row.name != nullptr) << row.context;
    if (name != nullptr) {
      EXPECT_EQ(*name, row.name) << row.context;
    }
  }
}

}  // namespace
}  // namespace quillmark::container

#include "container/inflated_member.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/memory_source.h"
#include "tests/deflated.h"

namespace quillmark::container {
namespace {

// `size` bytes that deflate into many blocks: runs of a few letters broken
// by bytes that do not repeat.
std::string sample(std::size_t size) {
  std::string data(size, '\0');
  std::uint32_t state = 12345;
  for (char& byte : data) {
    state = state * 1103515245U + 12345U;
    byte = (state >> 16) % 5 == 0 ? static_cast<char>(state >> 24) : "quill"[(state >> 20) % 5];
  }
  return data;
}

TEST(InflatedMemberTest, ReadsAtAnyOffsetTheBytesThatWereDeflated) {
  // Points lie at least 1 MiB apart: this stream has two past its start.
  const std::string data = sample(std::size_t{3} << 20);
  // The stream lies after other bytes, and others follow it, as in a zip.
  const std::string zip = std::string(100, 'L') + deflated(data) + "PK\x01\x02 directory";
  MemorySource source(zip);
  InflatedMember member(source, 100, data.size());
  EXPECT_FALSE(member.begins("not the first bytes"));
  ASSERT_TRUE(member.begins(data.substr(0, 512)));
  ASSERT_TRUE(member.index()) << member.error();
  const struct {
    std::uint64_t offset;
    std::uint64_t length;
    const char* context;
  } reads[] = {
      {(5 << 19) + 3, 300000, "near the end first: from the last point"},
      {1, 10, "back at the start"},
      {0, data.size(), "whole, in one read"},
      {(1 << 20) + 7, 1 << 20, "across a point laid down"},
      {(3 << 19) + 5, 4096, "backwards from where the last read stopped"},
      {data.size() - 1, 100, "past the end: cut to it"},
  };
  std::vector<char> into(data.size());
  for (const auto& read : reads) {
    const std::uint64_t wanted = std::min(read.length, data.size() - read.offset);
    ASSERT_EQ(member.readAt(read.offset, into.data(), read.length),
              static_cast<std::int64_t>(wanted))
        << read.context << ": " << member.error();
    EXPECT_EQ(std::string(into.data(), wanted), data.substr(read.offset, wanted)) << read.context;
  }
  EXPECT_EQ(member.readAt(data.size(), into.data(), 1), 0) << "at the end";
}

TEST(InflatedMemberTest, AStreamThatCannotBeInflatedWholeSaysWhy) {
  const std::string data = sample(std::size_t{1} << 20);
  const std::string stream = deflated(data);
  const struct {
    const char* context;
    std::string bytes;
    std::uint64_t size;
    const char* why;
  } rows[] = {
      {"cut in half", stream.substr(0, stream.size() / 2), data.size(), "cut off"},
      {"stating a byte more", stream, data.size() + 1, "fewer bytes than it states"},
      {"stating a byte less", stream, data.size() - 1, "more bytes than it states"},
      {"no deflate at all", std::string(4096, '\xff'), data.size(), "not a deflate stream"},
  };
  for (const auto& row : rows) {
    MemorySource source(row.bytes);
    InflatedMember member(source, 0, row.size);
    EXPECT_FALSE(member.index()) << row.context;
    EXPECT_NE(member.error().find(row.why), std::string::npos)
        << row.context << ": " << member.error();
    char byte = 0;
    EXPECT_EQ(member.readAt(0, &byte, 1), -1) << row.context << ": reads fail after";
  }
}

TEST(InflatedMemberTest, ReadsTheFirstBytesOfAGzipStream) {
  const std::string data = sample(std::size_t{3} << 20);
  const std::string gzip = deflated(data, 31);
  MemorySource source(gzip);
  const std::uint64_t wanted = (std::uint64_t{5} << 19) + 11;  // past two points
  InflatedMember prefix(source, 0, wanted, InflatedMember::Stream::kGzipPrefix);
  ASSERT_TRUE(prefix.index()) << prefix.error();
  std::vector<char> into(std::size_t{1} << 20);
  for (const std::uint64_t offset :
       {wanted - 100, std::uint64_t{0}, (std::uint64_t{1} << 20) + 7}) {
    const std::uint64_t length = std::min<std::uint64_t>(into.size(), wanted - offset);
    ASSERT_EQ(prefix.readAt(offset, into.data(), into.size()), static_cast<std::int64_t>(length))
        << offset << ": " << prefix.error();
    EXPECT_EQ(std::string(into.data(), length), data.substr(offset, length)) << offset;
  }
  EXPECT_EQ(prefix.readAt(wanted, into.data(), 1), 0) << "the prefix ends where it was asked to";
  InflatedMember past(source, 0, data.size() + 1, InflatedMember::Stream::kGzipPrefix);
  EXPECT_FALSE(past.index());
  EXPECT_NE(past.error().find("fewer bytes"), std::string::npos) << past.error();
}

}  // namespace
}  // namespace quillmark::container

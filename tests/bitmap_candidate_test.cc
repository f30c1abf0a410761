// The header test of the carver: what passes for the start of a BMP file.

#include "bitmap/bitmap_candidate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/test_bitmap.h"

namespace quillmark {
namespace {

using testing::makeBitmap;
using testing::picture;

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

void put16(std::string& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>(value >> 8);
}

std::uint64_t sizeOf(const std::string& bytes) {
  return bitmapCandidateSize(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(BitmapCandidateTest, WhatPassesForTheStartOfABmpFile) {
  const std::string valid = makeBitmap(picture(20, 20));  // 54-byte header, 1254 bytes
  // The OS/2 core header: 12 bytes, 16-bit dimensions, planes at byte 22.
  std::string core = valid;
  put32(core, 14, 12);
  put16(core, 22, 1);
  put32(core, 10, 26);
  struct Case {
    const char* what;
    std::string bytes;
    std::uint64_t size;  // 0: not a candidate
  };
  const auto with = [&](auto change) {
    std::string bytes = valid;
    change(bytes);
    return bytes;
  };
  const Case cases[] = {
      {"a 24-bit bitmap", valid, 1254},
      {"the core header", core, 1254},
      {"a 124-byte info header", with([](std::string& b) {
         put32(b, 14, 124);
         put32(b, 10, 138);
       }),
       1254},
      {"a 32-bit one passes too: the analysis warns", with([](std::string& b) { b[28] = 32; }),
       1254},
      {"not BM", with([](std::string& b) { b[1] = 'A'; }), 0},
      {"a reserved byte set", with([](std::string& b) { b[8] = 1; }), 0},
      {"an info header of unknown size", with([](std::string& b) { put32(b, 14, 41); }), 0},
      {"two planes", with([](std::string& b) { put16(b, 26, 2); }), 0},
      {"no planes", with([](std::string& b) { put16(b, 26, 0); }), 0},
      {"pixels inside the headers", with([](std::string& b) { put32(b, 10, 53); }), 0},
      {"pixels at the end of the file", with([](std::string& b) { put32(b, 10, 1254); }), 0},
      {"a file size below the pixel offset", with([](std::string& b) { put32(b, 2, 40); }), 0},
      {"the largest size the header can state",
       with([](std::string& b) { put32(b, 2, 0xFFFFFFFFU); }), 0xFFFFFFFFU},
      {"too few bytes to tell", valid.substr(0, kCandidateHeaderBytes - 1), 0},
      {"just enough bytes", valid.substr(0, kCandidateHeaderBytes), 1254},
      {"nothing", "", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(sizeOf(c.bytes), c.size) << c.what;
}

}  // namespace
}  // namespace quillmark

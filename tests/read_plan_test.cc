#include "bitmap/read_plan.h"

#include <gtest/gtest.h>

#include <istream>
#include <string>

#include "analysis/hidden_record.h"
#include "bitmap/pixel_bit_reader.h"
#include "tests/memory_file_buf.h"

namespace quillmark {
namespace {

using testing::MemoryFileBuf;

// Pulls the record from a file of `size` zero bytes walked as width x height,
// and returns what each read obtained.
std::vector<ByteRange> walkReads(std::uint32_t width, std::uint32_t height, std::size_t size) {
  const std::string file(size, '\0');
  MemoryFileBuf buffer(reinterpret_cast<const std::uint8_t*>(file.data()), file.size());
  std::istream in(&buffer);
  PixelBitReader reader(width, height, in);
  (void)HiddenRecord::readFrom(reader);
  return buffer.obtained;
}

// For every geometry, hostile ones included, every byte the walk reads lies
// in the plan, and every planned page holds something the walk reads.
TEST(ReadPlanTest, CoversEveryByteTheWalkReads) {
  struct Case {
    const char* what;
    std::uint32_t width, height;
    std::size_t fileSize;
    std::size_t ranges;  // after coalescing
  };
  const Case cases[] = {
      {"30 x 20 sample: one range", 30, 20, 54 + 92 * 20, 1},
      {"128 x 128: the walk's pages adjoin", 128, 128, 54 + 384 * 128, 1},
      {"4000 x 3000: one page per row", 4000, 3000, 54 + 12000 * 3000, 374},
      {"one column of 374", 1, 374, 54 + 4 * 374, 1},
      {"one stored row of 65535", 65535, 1, 54 + 196608, 1},
      {"65535 x 65535 over a header", 65535, 65535, 54, 0},
      {"width 0", 0, 20, 1000, 0},
      {"height 0 walks the last row", 374, 0, 54 + 1124, 1},
      {"height 1", 400, 1, 54 + 1200, 1},
      {"height 65535 over 100 rows", 1, 65535, 54 + 400, 1},
      {"file shorter than a row", 20000, 1, 600, 0},
      {"trailing bytes, rows 3 pages apart", 4096, 64, 54 + 12288 * 64 + 7, 64},
      {"row stride of 3 pages, many columns", 4096, 2, 54 + 12288 * 2, 2},
      {"empty file", 20, 20, 0, 0},
      {"width 0, height 0", 0, 0, 100, 0},
  };
  for (const Case& c : cases) {
    const ReadPlan plan = ReadPlan::forWalk(c.width, c.height, c.fileSize);
    const std::vector<ByteRange> reads = walkReads(c.width, c.height, c.fileSize);
    for (const ByteRange& read : reads) {
      EXPECT_TRUE(plan.covers(read.offset, read.length))
          << c.what << ": read of " << read.length << " at " << read.offset;
    }
    for (const ByteRange& range : plan) {
      bool used = false;
      for (const ByteRange& read : reads)
        used |= read.length > 0 && read.offset >= range.offset && read.end() <= range.end();
      EXPECT_TRUE(used) << c.what << ": range at " << range.offset << " is never read";
      EXPECT_LE(range.end(), c.fileSize) << c.what;
    }
    EXPECT_EQ(plan.size(), c.ranges) << c.what;
  }
}

TEST(ReadPlanTest, RangesAreWholePagesInOrderAndApart) {
  const ReadPlan plan = ReadPlan::forWalk(4000, 3000, 54 + 12000 * 3000);
  ASSERT_EQ(plan.size(), ReadPlan::kMaxRanges);
  EXPECT_EQ(plan.totalBytes(), ReadPlan::kMaxRanges * ReadPlan::kDefaultPageSize);
  for (const ByteRange* range = plan.begin(); range != plan.end(); ++range) {
    EXPECT_EQ(range->offset % ReadPlan::kDefaultPageSize, 0U);
    EXPECT_EQ(range->length, ReadPlan::kDefaultPageSize);
    if (range != plan.begin()) {
      EXPECT_LT((range - 1)->end(), range->offset);
    }
  }
}

TEST(ReadPlanTest, BridgingReadsThroughGapsBelowTheLimit) {
  struct Case {
    const char* what;
    std::uint64_t gap;
    std::size_t ranges;
  };
  // 4000 x 3000: 374 one-page ranges, rows 12000 bytes apart, so 26 gaps
  // of one page and 347 of two, by where each row starts in its page.
  const ReadPlan plan = ReadPlan::forWalk(4000, 3000, 54 + 12000 * 3000);
  const Case cases[] = {
      {"no bridging", 0, 374},
      {"gaps of a page stay", 4096, 374},
      {"gaps of one page bridged", 4097, 374 - 26},
      {"gaps of two pages stay", 8192, 374 - 26},
      {"every gap bridged", 8193, 1},
  };
  for (const Case& c : cases) {
    const ReadPlan bridged = plan.bridgingGapsBelow(c.gap);
    EXPECT_EQ(bridged.size(), c.ranges) << c.what;
    for (const ByteRange& range : plan) {
      EXPECT_TRUE(bridged.covers(range.offset, range.length)) << c.what;
    }
    EXPECT_EQ(bridged.begin()->offset, plan.begin()->offset) << c.what;
    EXPECT_EQ((bridged.end() - 1)->end(), (plan.end() - 1)->end()) << c.what;
  }
}

TEST(ReadPlanTest, CoversOnlyWhatIsInARange) {
  // 1 x 374 over 1550 bytes: one range, the file's first page, cut at its end.
  const ReadPlan plan = ReadPlan::forWalk(1, 374, 1550);
  ASSERT_EQ(plan.size(), 1U);
  EXPECT_EQ(plan.begin()->offset, 0U);
  EXPECT_EQ(plan.begin()->length, 1550U);
  EXPECT_TRUE(plan.covers(1547, 3));
  EXPECT_FALSE(plan.covers(1548, 3));
  EXPECT_TRUE(plan.covers(9999, 0));
}

}  // namespace
}  // namespace quillmark

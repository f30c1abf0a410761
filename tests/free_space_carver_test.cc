// The carver's thread and queue: what it finds arrives whole and in the
// order of the image, however much it finds, and stopping it never hangs.

#include "disk_image/free_space_carver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/temp_file.h"
#include "tests/test_bitmap.h"

namespace quillmark::disk_image {
namespace {

using testing::makeBitmap;
using testing::picture;
using testing::TempFile;

constexpr std::uint64_t kSector = 512;

// `count` sectors of 512 bytes; those listed hold the start of a 1254-byte
// bitmap, the others zeros.
std::string sectorsWithBitmapsAt(std::size_t count, const std::vector<std::size_t>& at) {
  std::string bytes(count * kSector, '\0');
  const std::string bitmap = makeBitmap(picture(20, 20));
  for (const std::size_t sector : at) bytes.replace(sector * kSector, kSector, bitmap, 0, kSector);
  return bytes;
}

std::vector<FreeSpaceCarver::Found> carveAll(FreeSpaceCarver& carver) {
  std::vector<FreeSpaceCarver::Found> found;
  FreeSpaceCarver::Found next;
  while (carver.next(next)) found.push_back(next);
  return found;
}

TEST(FreeSpaceCarverTest, FindsEveryStartInOrderPastAFullQueue) {
  // More starts than the queue holds, so that the carving waits for the
  // taker several times over.
  constexpr std::size_t kSectors = 20000;
  std::vector<std::size_t> starts;
  for (std::size_t sector = 1; sector < kSectors; sector += 2) starts.push_back(sector);
  const TempFile image(sectorsWithBitmapsAt(kSectors, starts));
  std::atomic<std::uint64_t> positions{0};
  std::atomic<std::uint64_t> candidates{0};
  FreeSpaceCarver carver({&positions, &candidates});

  carver.startRegion(image.path(), 0, kSectors * kSector);
  const std::vector<FreeSpaceCarver::Found> found = carveAll(carver);

  ASSERT_EQ(found.size(), starts.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    ASSERT_EQ(found[i].kind, FreeSpaceCarver::Found::Kind::kCandidate) << i;
    ASSERT_EQ(found[i].start, starts[i] * kSector) << i;
    ASSERT_EQ(found[i].length, std::min<std::uint64_t>(1254, (kSectors - starts[i]) * kSector))
        << i;
  }
  EXPECT_EQ(positions.load(), kSectors);
  EXPECT_EQ(candidates.load(), starts.size());
}

TEST(FreeSpaceCarverTest, RegionsAndWindows) {
  const TempFile image(sectorsWithBitmapsAt(16, {0, 3, 14}));
  struct Case {
    const char* what;
    std::uint64_t start;
    std::uint64_t end;
    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> lengths;
  };
  const Case cases[] = {
      {"the whole image", 0, 16 * kSector, {0, 3 * kSector, 14 * kSector}, {1254, 1254, 1024}},
      {"a window ends with its region", 0, 4 * kSector, {0, 3 * kSector}, {1254, 512}},
      {"a start is rounded up to a boundary",
       1,
       16 * kSector,
       {3 * kSector, 14 * kSector},
       {1254, 1024}},
      {"an end past the image is the image's end",
       14 * kSector,
       kSector << 20,
       {14 * kSector},
       {1024}},
      {"an empty region", 5 * kSector, 5 * kSector, {}, {}},
  };
  for (const Case& c : cases) {
    FreeSpaceCarver carver({});
    carver.startRegion(image.path(), c.start, c.end);
    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> lengths;
    for (const FreeSpaceCarver::Found& found : carveAll(carver)) {
      starts.push_back(found.start);
      lengths.push_back(found.length);
    }
    EXPECT_EQ(starts, c.starts) << c.what;
    EXPECT_EQ(lengths, c.lengths) << c.what;
  }
}

TEST(FreeSpaceCarverTest, StoppingWhileTheQueueIsFullEndsTheCarving) {
  constexpr std::size_t kSectors = 20000;
  std::vector<std::size_t> starts;
  for (std::size_t sector = 0; sector < kSectors; ++sector) starts.push_back(sector);
  const TempFile image(sectorsWithBitmapsAt(kSectors, starts));
  FreeSpaceCarver carver({});
  carver.startRegion(image.path(), 0, kSectors * kSector);
  FreeSpaceCarver::Found found;
  ASSERT_TRUE(carver.next(found));
  carver.stop();  // returns only once the carving thread has ended
  EXPECT_FALSE(carver.next(found));
  // It starts again, from nothing.
  carver.startRegion(image.path(), 0, 2 * kSector);
  EXPECT_EQ(carveAll(carver).size(), 2u);
}

TEST(FreeSpaceCarverTest, AnImageThatCannotBeOpenedIsOneProblem) {
  FreeSpaceCarver carver({});
  carver.startRegion("/nonexistent/quillmark-image", 0, 512);
  const std::vector<FreeSpaceCarver::Found> found = carveAll(carver);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].kind, FreeSpaceCarver::Found::Kind::kImageError);
  EXPECT_NE(found[0].detail.find("cannot open image"), std::string::npos) << found[0].detail;
}

}  // namespace
}  // namespace quillmark::disk_image

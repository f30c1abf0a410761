#include "tests/samples.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/temp_file.h"

namespace quillmark {
namespace {

// The checked-in samples are exactly what make_samples writes, so they can
// always be made again from this source alone.
TEST(SamplesTest, CheckedInSamplesAreTheGeneratedOnes) {
  const struct {
    const char* name;
    std::string bytes;
  } samples[] = {{"notes.bmp", testing::notesSample()}, {"clean.bmp", testing::cleanSample()}};
  for (const auto& sample : samples) {
    const std::string path = std::string(QUILLMARK_SOURCE_DIR) + "/samples/" + sample.name;
    EXPECT_EQ(testing::readFile(path), sample.bytes)
        << sample.name << " differs; run make_samples samples";
  }
}

}  // namespace
}  // namespace quillmark

// The frames by which a child process hands the records of a disk image to
// the scanner: every record survives the trip whole, and a stream cut or
// damaged anywhere is told from a clean one.

#include "scan/record_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

namespace quillmark {
namespace {

using report::ScanRecord;
using report::SkipReason;
using report::Verdict;
using scan::FrameKind;
using scan::FrameReader;

report::ScanRecord roundTrip(const report::ScanRecord& record) {
  std::string stream;
  scan::appendRecordFrame(record, stream);
  FrameReader reader;
  reader.append(stream.data(), stream.size());
  report::ScanRecord back;
  EXPECT_EQ(reader.next(), FrameReader::Next::kFrame);
  EXPECT_EQ(reader.kind(), FrameKind::kRecord);
  EXPECT_TRUE(reader.record(back));
  EXPECT_EQ(reader.pending(), 0U);
  return back;
}

// Every field, compared one by one (NaN lengths bit for bit).
void expectSame(const report::ScanRecord& a, const report::ScanRecord& b, const char* what) {
  EXPECT_EQ(a.path, b.path) << what;
  EXPECT_EQ(a.verdict, b.verdict) << what;
  EXPECT_EQ(a.notBmp, b.notBmp) << what;
  EXPECT_EQ(a.wrongDepth, b.wrongDepth) << what;
  EXPECT_EQ(a.name, b.name) << what;
  EXPECT_EQ(std::isnan(a.length) ? 1 : 0, std::isnan(b.length) ? 1 : 0) << what;
  if (!std::isnan(a.length)) {
    EXPECT_EQ(a.length, b.length) << what;
  }
  EXPECT_EQ(a.lengthText, b.lengthText) << what;
  EXPECT_EQ(a.reason, b.reason) << what;
  EXPECT_EQ(a.skip, b.skip) << what;
  EXPECT_EQ(a.bytesRead, b.bytesRead) << what;
  EXPECT_EQ(a.image, b.image) << what;
  EXPECT_EQ(a.fsOffset, b.fsOffset) << what;
  EXPECT_EQ(a.fsType, b.fsType) << what;
  EXPECT_EQ(a.volume, b.volume) << what;
  EXPECT_EQ(a.inode, b.inode) << what;
  EXPECT_EQ(a.deleted, b.deleted) << what;
  EXPECT_EQ(a.carvedAt, b.carvedAt) << what;
  EXPECT_EQ(a.carvedLength, b.carvedLength) << what;
  EXPECT_EQ(a.fileSize, b.fileSize) << what;
  for (const auto time : {&disk_image::FileTimes::modified, &disk_image::FileTimes::accessed,
                          &disk_image::FileTimes::changed, &disk_image::FileTimes::created}) {
    EXPECT_EQ((a.times.*time).has_value(), (b.times.*time).has_value()) << what;
    if ((a.times.*time) && (b.times.*time)) {
      EXPECT_EQ((a.times.*time)->seconds, (b.times.*time)->seconds) << what;
      EXPECT_EQ((a.times.*time)->nanoseconds, (b.times.*time)->nanoseconds) << what;
    }
  }
  EXPECT_EQ(a.nameUnallocated, b.nameUnallocated) << what;
  EXPECT_EQ(a.metaUnallocated, b.metaUnallocated) << what;
  EXPECT_EQ(a.partition, b.partition) << what;
  EXPECT_EQ(a.hashes, b.hashes) << what;
  EXPECT_EQ(a.pictures.thumbnail, b.pictures.thumbnail) << what;
  EXPECT_EQ(a.pictures.lowBitsWhy, b.pictures.lowBitsWhy) << what;
  EXPECT_EQ(a.containerFormat, b.containerFormat) << what;
  EXPECT_EQ(a.imageFile, b.imageFile) << what;
  EXPECT_TRUE(a.within == b.within) << what;
  ASSERT_EQ(a.byteRuns.size(), b.byteRuns.size()) << what;
  for (std::size_t i = 0; i < a.byteRuns.size(); ++i) {
    EXPECT_EQ(a.byteRuns[i].fileOffset, b.byteRuns[i].fileOffset) << what;
    EXPECT_EQ(a.byteRuns[i].imageOffset, b.byteRuns[i].imageOffset) << what;
    EXPECT_EQ(a.byteRuns[i].length, b.byteRuns[i].length) << what;
  }
}

TEST(RecordCodecTest, EveryRecordSurvivesTheTripWhole) {
  report::ScanRecord payload;
  payload.path = std::string("/d/a\0b\n\xff.bmp", 12);
  payload.verdict = report::Verdict::kPayload;
  payload.name = "n\x1b.txt";
  payload.length = 1234567;
  payload.lengthText = "1.23457e+06";
  payload.bytesRead = 30054;
  payload.image = "disk.E01";
  payload.fsOffset = 1048576;
  payload.fsType = "ext4";
  payload.inode = 12;
  payload.deleted = true;
  payload.byteRuns = {{0, 1048576 + 4096 * 7, 8192}, {8192, 1048576 + 4096 * 3, 21862}};
  payload.fileSize = 30054;
  payload.times.modified = disk_image::Timestamp{1765256400, 123456789};
  payload.times.created = disk_image::Timestamp{-86400, 0};
  payload.metaUnallocated = true;
  payload.partition = 2;
  payload.pictures.thumbnail = std::string("\x89PNG\0\xff", 6);
  payload.pictures.lowBitsWhy = "the pixel array cannot be read";
  payload.hashes = {"", "", std::string(64, 'a')};
  report::ScanRecord skipped;
  skipped.verdict = report::Verdict::kSkipped;
  skipped.skip = report::SkipReason::kEncryptedVolume;
  skipped.reason = "encrypted volume";
  skipped.volume = 107;
  skipped.image = "";
  skipped.inode = 0;
  report::ScanRecord odd;
  odd.verdict = report::Verdict::kClean;
  odd.notBmp = odd.wrongDepth = true;
  odd.length = std::numeric_limits<double>::quiet_NaN();
  odd.carvedAt = std::numeric_limits<std::uint64_t>::max();
  odd.carvedLength = 0;
  odd.fsOffset = 0;
  report::ScanRecord container;
  container.image = "disk.img";
  container.containerFormat = "zip";
  container.imageFile = "1048576:0:4096:12:2:0:0";
  report::ScanRecord member;
  member.within = {{"zip", std::string("a\0\xff", 3), 3, ""}, {"mime", "x.bmp", 0, "2.1"}};
  const std::pair<const char*, report::ScanRecord> cases[] = {
      {"a container in an image, to be opened again", container},
      {"a member two containers deep, a name that is not text", member},
      {"a deleted payload in an image, with bytes that are not text", payload},
      {"a skip of a volume, with an empty image name and inode 0", skipped},
      {"warnings, a NaN length, the largest offset", odd},
      {"a host file's error, no image fields", report::ScanRecord{}},
  };
  for (const auto& [what, record] : cases) expectSame(roundTrip(record), record, what);
}

TEST(RecordCodecTest, CutAndDamagedStreamsAreToldApart) {
  report::ScanRecord record;
  record.path = "/a.bmp";
  record.image = "i.img";
  std::string stream;
  scan::appendCountFrame(FrameKind::kTally, {1, 2, 3, 4}, stream);
  const std::size_t firstEnd = stream.size();
  scan::appendRecordFrame(record, stream);

  // Fed a byte at a time, the reader waits for each frame to be whole.
  FrameReader bytewise;
  int frames = 0;
  for (const char byte : stream) {
    bytewise.append(&byte, 1);
    while (bytewise.next() == FrameReader::Next::kFrame) ++frames;
  }
  EXPECT_EQ(frames, 2);
  EXPECT_EQ(bytewise.pending(), 0U);

  struct Case {
    const char* what;
    std::string bytes;
    FrameReader::Next second;  // after the tally frame
  };
  std::string badKind = stream;
  badKind[firstEnd] = 9;
  std::string hugeLength = stream;
  hugeLength[firstEnd + 4] = '\x7f';
  const Case cases[] = {
      {"cut inside the record", stream.substr(0, stream.size() - 1),
       FrameReader::Next::kIncomplete},
      {"cut inside a header", stream.substr(0, firstEnd + 3), FrameReader::Next::kIncomplete},
      {"a kind this program never writes", badKind, FrameReader::Next::kCorrupt},
      {"a length no record comes near", hugeLength, FrameReader::Next::kCorrupt},
  };
  for (const Case& c : cases) {
    FrameReader reader;
    reader.append(c.bytes.data(), c.bytes.size());
    ASSERT_EQ(reader.next(), FrameReader::Next::kFrame) << c.what;
    EXPECT_EQ(reader.kind(), FrameKind::kTally) << c.what;
    EXPECT_EQ(reader.counts(), (std::array<std::uint64_t, 4>{1, 2, 3, 4})) << c.what;
    EXPECT_EQ(reader.next(), c.second) << c.what;
  }

  // A record frame whose payload is cut short inside does not decode.
  std::string shortPayload;
  scan::appendRecordFrame(record, shortPayload);
  shortPayload.resize(shortPayload.size() - 3);
  shortPayload[1] = static_cast<char>(shortPayload.size() - 5);
  FrameReader reader;
  reader.append(shortPayload.data(), shortPayload.size());
  ASSERT_EQ(reader.next(), FrameReader::Next::kFrame);
  report::ScanRecord back;
  EXPECT_FALSE(reader.record(back));
}

}  // namespace
}  // namespace quillmark

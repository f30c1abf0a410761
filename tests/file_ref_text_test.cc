#include "disk_image/file_ref_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace quillmark::disk_image {
namespace {

// The text a parent hands a container child: what it names must come back
// whole, and anything else must be refused rather than open another file.
TEST(FileRefTextTest, EveryFieldComesBackAndOtherTextIsRefused) {
  FileRef stream;
  stream.fsOffset = std::numeric_limits<std::uint64_t>::max();
  stream.poolVolume = 107;
  stream.fsTypeId = 0x400;
  stream.inode = 64;
  stream.namedStream = true;
  stream.attrType = 128;
  stream.attrId = 65535;
  FileRef deleted;
  deleted.inode = 12;
  deleted.nameUnallocated = deleted.metaUnallocated = true;
  for (const FileRef& ref : {stream, deleted, FileRef{}}) {
    FileRef back;
    ASSERT_TRUE(parseFileRef(fileRefText(ref), back)) << fileRefText(ref);
    EXPECT_EQ(fileRefText(back), fileRefText(ref));
    EXPECT_EQ(back.fsOffset, ref.fsOffset);
    EXPECT_EQ(back.poolVolume, ref.poolVolume);
    EXPECT_EQ(back.fsTypeId, ref.fsTypeId);
    EXPECT_EQ(back.inode, ref.inode);
    EXPECT_EQ(back.namedStream, ref.namedStream);
    EXPECT_EQ(back.nameUnallocated, ref.nameUnallocated);
    EXPECT_EQ(back.metaUnallocated, ref.metaUnallocated);
    EXPECT_EQ(back.attrType, ref.attrType);
    EXPECT_EQ(back.attrId, ref.attrId);
  }
  for (const char* text :
       {"", "1:2:3:4:5:6", "1:2:3:4:5:6:7:8", "1:2:3:4:8:6:7", "1:2:3:4:0:6:65536",
        "-1:2:3:4:0:6:7", "1:2:3:4:0:6:7 ", "1::3:4:0:6:7"}) {
    FileRef ref;
    EXPECT_FALSE(parseFileRef(text, ref)) << text;
  }
}

}  // namespace
}  // namespace quillmark::disk_image

#include "tests/deflated.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace quillmark {

std::string deflated(const std::string& data, int windowBits, const char* gzipName) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 1, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string name = gzipName != nullptr ? gzipName : "";
  gz_header header{};
  if (gzipName != nullptr) {
    header.name = reinterpret_cast<Bytef*>(name.data());
    EXPECT_EQ(deflateSetHeader(&stream, &header), Z_OK);
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + name.size() + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace quillmark

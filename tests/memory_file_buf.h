#ifndef QUILLMARK_TESTS_MEMORY_FILE_BUF_H_
#define QUILLMARK_TESTS_MEMORY_FILE_BUF_H_

#include <cstddef>
#include <cstdint>
#include <streambuf>
#include <vector>

#include "analysis/loaded_bytes_buf.h"
#include "bitmap/read_plan.h"

namespace quillmark::testing {

// A read-only file in memory, seen as the program sees a file on disk (the
// scanner's LoadedBytesBuf serves it: a seek before the start fails, one past
// the end succeeds and the next read obtains nothing). Counts the reads and
// seeks it is asked for and logs the bytes each read obtained, so that tests
// can check where the analysis read.
class MemoryFileBuf final : public std::streambuf {
 public:
  MemoryFileBuf(const std::uint8_t* data, std::size_t size) : file_(size) {
    file_.addSegment(0, reinterpret_cast<const char*>(data), size);
  }

  int reads = 0;
  int seeks = 0;
  std::vector<ByteRange> obtained;  // one entry per read, in order

 protected:
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode mode) override {
    ++seeks;
    return file_.pubseekoff(offset, dir, mode);
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode mode) override {
    return seekoff(off_type(position), std::ios_base::beg, mode);
  }
  std::streamsize xsgetn(char* out, std::streamsize count) override {
    ++reads;
    const auto at = static_cast<std::uint64_t>(off_type(file_.pubseekoff(0, std::ios_base::cur)));
    const std::streamsize got = file_.sgetn(out, count);
    obtained.push_back(ByteRange{at, static_cast<std::uint64_t>(got)});
    return got;
  }
  int_type underflow() override { return file_.sgetc(); }
  int_type uflow() override { return file_.sbumpc(); }

 private:
  LoadedBytesBuf file_;
};

}  // namespace quillmark::testing

#endif  // QUILLMARK_TESTS_MEMORY_FILE_BUF_H_

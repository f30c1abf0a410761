#ifndef QUILLMARK_TESTS_DEFLATED_H_
#define QUILLMARK_TESTS_DEFLATED_H_

#include <string>

namespace quillmark {

// `data` deflated by zlib at level 1: with `windowBits` -15 as a raw deflate
// stream, as a zip holds a member; with 31 as one gzip member, its header
// naming `gzipName` where one is given.
std::string deflated(const std::string& data, int windowBits = -15, const char* gzipName = nullptr);

}  // namespace quillmark

#endif  // QUILLMARK_TESTS_DEFLATED_H_

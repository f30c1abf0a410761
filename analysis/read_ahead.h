#ifndef QUILLMARK_ANALYSIS_READ_AHEAD_H_
#define QUILLMARK_ANALYSIS_READ_AHEAD_H_

#include <cstddef>
#include <cstdint>

#include "bitmap/read_plan.h"

namespace quillmark {

// Asks the kernel to start reading every range of `plan` from the file open
// as `fd` into the page cache, without waiting for any of it, so that the
// device serves them concurrently rather than one small read at a time.
// Only a hint: the file, its position and later reads are unchanged, and
// where the hint fails or means nothing (a pipe, a file system without
// read-ahead) nothing else changes. Returns the number of ranges the kernel
// accepted.
std::size_t adviseReadAhead(int fd, const ReadPlan& plan);

// The ranges that a walk of a width x height picture will read from the
// regular file open as `fd`, handed to adviseReadAhead. Does nothing for
// anything but a regular file. Returns the number of ranges accepted.
std::size_t adviseWalkReadAhead(int fd, std::uint32_t width, std::uint32_t height);

}  // namespace quillmark

#endif  // QUILLMARK_ANALYSIS_READ_AHEAD_H_

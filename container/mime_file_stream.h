#ifndef QUILLMARK_CONTAINER_MIME_FILE_STREAM_H_
#define QUILLMARK_CONTAINER_MIME_FILE_STREAM_H_

#include <gmime/gmime.h>

#include "analysis/content_source.h"

namespace quillmark::container {

// A GMime stream over a file descriptor (or a ContentSource), read with
// pread through a buffer of its own. GMime's own file streams seek before each read of 4 KiB, two
// system calls for every 4 KiB; this one serves the parser's reads, and
// the reads of the parts it hands out as substreams of it, from 256 KiB
// blocks. Read only; its end is the file's size when it is made.
//
// Takes `fd`, which it closes when the last stream over it goes; returns a
// new reference, or nullptr when the file's size cannot be had (then `fd`
// is closed).
GMimeStream* newMimeFileStream(int fd);

// The same over `source`, read by offset (a file in a disk image), which
// must outlive the stream and its substreams.
GMimeStream* newMimeSourceStream(ContentSource& source);

}  // namespace quillmark::container

#endif  // QUILLMARK_CONTAINER_MIME_FILE_STREAM_H_

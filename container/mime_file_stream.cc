#include "container/mime_file_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace quillmark::container {

namespace {

constexpr std::size_t kBufferSize = std::size_t{256} * 1024;

// What the bytes are read from, shared by a stream and its substreams: a
// descriptor (closed with the last stream), or a ContentSource.
struct SharedFile {
  explicit SharedFile(int descriptor) : fd(descriptor) {}
  explicit SharedFile(ContentSource& from) : source(&from) {}
  ~SharedFile() {
    if (fd >= 0) ::close(fd);
  }
  SharedFile(const SharedFile&) = delete;
  SharedFile& operator=(const SharedFile&) = delete;

  // Up to `length` bytes at `offset`: 0 at the end, -1 on a failure.
  ssize_t readAt(char* into, std::size_t length, gint64 offset) const {
    if (source != nullptr) {
      return static_cast<ssize_t>(source->readAt(static_cast<std::uint64_t>(offset), into, length));
    }
    ssize_t got = 0;
    do {
      got = ::pread(fd, into, length, offset);
    } while (got < 0 && errno == EINTR);
    return got;
  }

  int fd = -1;
  ContentSource* source = nullptr;
};

// What a stream keeps beside GMime's own fields: its file, and the block
// of it last read.
struct Reader {
  std::shared_ptr<SharedFile> file;
  std::unique_ptr<char[]> buffer;
  gint64 bufferStart = 0;
  std::size_t bufferLength = 0;
};

}  // namespace

}  // namespace quillmark::container

// The GObject type, in GLib's C naming as its macros want it.
struct QuillmarkMimeFileStream {
  GMimeStream parent;
  quillmark::container::Reader* reader;
};
struct QuillmarkMimeFileStreamClass {
  GMimeStreamClass parent_class;
};

G_DEFINE_TYPE(QuillmarkMimeFileStream, quillmark_mime_file_stream, GMIME_TYPE_STREAM)

namespace quillmark::container {

namespace {

QuillmarkMimeFileStream* self(GMimeStream* stream) {
  return G_TYPE_CHECK_INSTANCE_CAST(stream, quillmark_mime_file_stream_get_type(),
                                    QuillmarkMimeFileStream);
}

GMimeStream* make(std::shared_ptr<SharedFile> file, gint64 start, gint64 end) {
  auto* const stream = static_cast<QuillmarkMimeFileStream*>(
      g_object_new(quillmark_mime_file_stream_get_type(), nullptr));
  stream->reader->file = std::move(file);
  g_mime_stream_construct(&stream->parent, start, end);
  return &stream->parent;
}

ssize_t readStream(GMimeStream* stream, char* into, std::size_t length) {
  Reader& reader = *self(stream)->reader;
  if (stream->position >= stream->bound_end) return 0;
  length = std::min(length, static_cast<std::size_t>(stream->bound_end - stream->position));
  const gint64 at = stream->position;
  if (at < reader.bufferStart ||
      at >= reader.bufferStart + static_cast<gint64>(reader.bufferLength)) {
    if (!reader.buffer) reader.buffer.reset(new char[kBufferSize]);
    const ssize_t got = reader.file->readAt(reader.buffer.get(), kBufferSize, at);
    if (got < 0) return -1;
    reader.bufferStart = at;
    reader.bufferLength = static_cast<std::size_t>(got);
    if (got == 0) return 0;  // the file shrank
  }
  const auto offset = static_cast<std::size_t>(at - reader.bufferStart);
  const std::size_t n = std::min(length, reader.bufferLength - offset);
  std::memcpy(into, reader.buffer.get() + offset, n);
  stream->position += static_cast<gint64>(n);
  return static_cast<ssize_t>(n);
}

ssize_t writeStream(GMimeStream*, const char*, std::size_t) {
  errno = EBADF;
  return -1;
}

int nothing(GMimeStream*) { return 0; }

gboolean endOfStream(GMimeStream* stream) {
  return stream->position >= stream->bound_end ? TRUE : FALSE;
}

gint64 seekStream(GMimeStream* stream, gint64 offset, GMimeSeekWhence whence) {
  gint64 to = offset;
  if (whence == GMIME_STREAM_SEEK_CUR) to = stream->position + offset;
  if (whence == GMIME_STREAM_SEEK_END) to = stream->bound_end + offset;
  if (to < stream->bound_start || to > stream->bound_end) {
    errno = EINVAL;
    return -1;
  }
  stream->position = to;
  return to;
}

gint64 tellStream(GMimeStream* stream) { return stream->position; }

gint64 lengthOf(GMimeStream* stream) { return stream->bound_end - stream->bound_start; }

GMimeStream* substreamOf(GMimeStream* stream, gint64 start, gint64 end) {
  return make(self(stream)->reader->file, start, end);
}

void finalize(GObject* object) {
  delete reinterpret_cast<QuillmarkMimeFileStream*>(object)->reader;
  G_OBJECT_CLASS(quillmark_mime_file_stream_parent_class)->finalize(object);
}

}  // namespace

GMimeStream* newMimeFileStream(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    ::close(fd);
    return nullptr;
  }
  return make(std::make_shared<SharedFile>(fd), 0, static_cast<gint64>(status.st_size));
}

GMimeStream* newMimeSourceStream(ContentSource& source) {
  return make(std::make_shared<SharedFile>(source), 0, static_cast<gint64>(source.size()));
}

}  // namespace quillmark::container

static void quillmark_mime_file_stream_class_init(QuillmarkMimeFileStreamClass* type) {
  using namespace quillmark::container;
  G_OBJECT_CLASS(type)->finalize = finalize;
  GMimeStreamClass* const stream = &type->parent_class;
  stream->read = readStream;
  stream->write = writeStream;
  stream->flush = nothing;
  stream->close = nothing;
  stream->eos = endOfStream;
  stream->reset = nothing;  // GMime moves the position back to the start itself
  stream->seek = seekStream;
  stream->tell = tellStream;
  stream->length = lengthOf;
  stream->substream = substreamOf;
}

static void quillmark_mime_file_stream_init(QuillmarkMimeFileStream* stream) {
  stream->reader = new quillmark::container::Reader;
}

#include "analysis/content_reader.h"

#include <cstring>
#include <istream>
#include <new>

#include "analysis/loaded_bytes_buf.h"
#include "bitmap/bitmap_header_view.h"
#include "bitmap/read_plan.h"

namespace quillmark {

namespace {

bool beginsWithBm(const char* bytes, std::uint64_t length) {
  return length >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

using Outcome = ContentReader::Result::Outcome;

// The walk's ranges in content of `size` bytes that begins with `header`,
// gaps under kBridgedGap read through.
ReadPlan planFor(const char* header, std::uint64_t size) {
  BitmapHeaderView::Bytes bytes{};
  std::memcpy(bytes.data(), header, bytes.size());
  const BitmapHeaderView view(bytes);
  return ReadPlan::forWalk(view.width(), view.height(), size)
      .bridgingGapsBelow(ContentReader::kBridgedGap);
}

// Adds the planned ranges, laid out one after the other from `buffer`, to
// `content`, and the header before them where the plan does not hold it.
void addPlanned(const ReadPlan& plan, const char* buffer, const char* header,
                LoadedBytesBuf& content) {
  const bool headerInPlan = !plan.empty() && plan.begin()->offset == 0;
  if (!headerInPlan) content.addSegment(0, header, BitmapHeaderView::kSize);
  std::size_t placed = 0;
  for (const ByteRange& range : plan) {
    content.addSegment(range.offset, buffer + placed, static_cast<std::size_t>(range.length));
    placed += static_cast<std::size_t>(range.length);
  }
}

}  // namespace

ContentReader::Result ContentReader::analyse(ContentSource& source, bool bmpOnly,
                                             ContentSink* everyByte) {
  Result result;
  wholeContent_ = {};
  const std::uint64_t size = source.size();
  if (everyByte != nullptr && size > wholeLimit_) {
    return analyseStreaming(source, bmpOnly, *everyByte);
  }

  if (size <= wholeLimit_) {
    // The walk of a small picture touches most of its pages: one read, or
    // none where the source holds the content in memory.
    const char* buffer = source.held();
    std::uint64_t length = size;
    if (buffer == nullptr) {
      char* const into = reserve(static_cast<std::size_t>(size));
      const std::int64_t got = source.readAt(0, into, size);
      if (got < 0) return result;
      buffer = into;
      length = static_cast<std::uint64_t>(got);  // less if the content shrank
    }
    result.bytesRead = length;
    if (bmpOnly && !beginsWithBm(buffer, length)) {
      result.outcome = Outcome::kNotBmp;
      return result;
    }
    wholeContent_ = std::string_view(buffer, static_cast<std::size_t>(length));
    if (everyByte != nullptr) {
      everyByte->consume(buffer, static_cast<std::size_t>(length));
      result.wholeToSink = length == size;
    }
    LoadedBytesBuf content(length);
    content.addSegment(0, buffer, static_cast<std::size_t>(length));
    return analyseLoaded(content, result);
  }

  // A large picture: the header, then the walk's ranges, all announced at
  // once.
  char header[BitmapHeaderView::kSize] = {};
  const std::int64_t headerBytes = source.readAt(0, header, sizeof header);
  if (headerBytes < 0) return result;
  result.bytesRead = static_cast<std::uint64_t>(headerBytes);
  if (bmpOnly && !beginsWithBm(header, static_cast<std::uint64_t>(headerBytes))) {
    result.outcome = Outcome::kNotBmp;
    return result;
  }
  if (static_cast<std::uint64_t>(headerBytes) < sizeof header) {
    // The content shrank below its header since it was measured.
    LoadedBytesBuf content(static_cast<std::uint64_t>(headerBytes));
    content.addSegment(0, header, static_cast<std::size_t>(headerBytes));
    return analyseLoaded(content, result);
  }
  const ReadPlan plan = planFor(header, size);
  if (plan.size() > 1) source.willRead(plan);

  char* const buffer = reserve(static_cast<std::size_t>(plan.totalBytes()));
  std::size_t at = 0;
  for (const ByteRange& range : plan) {
    const std::int64_t got = source.readAt(range.offset, buffer + at, range.length);
    if (got < 0) return result;
    result.bytesRead += static_cast<std::uint64_t>(got);
    if (static_cast<std::uint64_t>(got) < range.length) {
      result.outcome = Outcome::kShrank;
      return result;
    }
    at += static_cast<std::size_t>(range.length);
  }
  LoadedBytesBuf content(size);
  addPlanned(plan, buffer, header, content);
  return analyseLoaded(content, result);
}

ContentReader::Result ContentReader::analyseStreaming(ContentSource& source, bool bmpOnly,
                                                      ContentSink& sink) {
  Result result;
  const std::uint64_t size = source.size();
  char* const chunk = streamBuffer();

  // The first read holds the header, and with it the plan.
  std::uint64_t length = std::min<std::uint64_t>(kStreamRead, size);
  std::int64_t got = source.readAt(0, chunk, length);
  if (got < 0) return result;
  result.bytesRead = static_cast<std::uint64_t>(got);
  if (bmpOnly && !beginsWithBm(chunk, static_cast<std::uint64_t>(got))) {
    result.outcome = Outcome::kNotBmp;
    return result;
  }
  if (static_cast<std::uint64_t>(got) < length) {
    result.outcome = Outcome::kShrank;
    return result;
  }
  std::memcpy(header_, chunk, sizeof header_);
  const ReadPlan plan = planFor(header_, size);
  char* const buffer = reserve(static_cast<std::size_t>(plan.totalBytes()));

  // Each read is handed on whole, and the planned bytes in it kept.
  const ByteRange* range = plan.begin();
  std::uint64_t rangeAt = 0;  // where `range` goes in the buffer
  for (std::uint64_t at = 0;;) {
    sink.consume(chunk, static_cast<std::size_t>(got));
    const std::uint64_t end = at + static_cast<std::uint64_t>(got);
    for (; range != plan.end() && range->offset < end;) {
      const std::uint64_t from = std::max(range->offset, at);
      const std::uint64_t to = std::min(range->end(), end);
      std::memcpy(buffer + rangeAt + (from - range->offset), chunk + (from - at),
                  static_cast<std::size_t>(to - from));
      if (range->end() > end) break;
      rangeAt += range->length;
      ++range;
    }
    at = end;
    if (at == size) break;
    length = std::min<std::uint64_t>(kStreamRead, size - at);
    got = source.readAt(at, chunk, length);
    if (got < 0) return result;
    result.bytesRead += static_cast<std::uint64_t>(got);
    if (static_cast<std::uint64_t>(got) < length) {
      result.outcome = Outcome::kShrank;
      return result;
    }
  }
  result.wholeToSink = true;

  LoadedBytesBuf content(size);
  addPlanned(plan, buffer, header_, content);
  return analyseLoaded(content, result);
}

ContentReader::Through ContentReader::readThrough(ContentSource& source, ContentSink& sink,
                                                  std::uint64_t& bytesRead) {
  char* const chunk = streamBuffer();
  const std::uint64_t size = source.size();
  for (std::uint64_t at = 0; at < size;) {
    const std::uint64_t length = std::min<std::uint64_t>(kStreamRead, size - at);
    const std::int64_t got = source.readAt(at, chunk, length);
    if (got < 0) return Through::kUnreadable;
    bytesRead += static_cast<std::uint64_t>(got);
    if (static_cast<std::uint64_t>(got) < length) return Through::kShort;
    sink.consume(chunk, static_cast<std::size_t>(got));
    at += length;
  }
  return Through::kWhole;
}

ContentReader::Result ContentReader::analyseLoaded(std::streambuf& content, Result result) const {
  std::istream in(&content);
  result.analysis = quillmark::analyse(in);
  result.outcome = result.analysis ? Outcome::kAnalysed : Outcome::kNotAnalysable;
  return result;
}

char* ContentReader::reserve(std::size_t size) {
  char* const buffer = buffer_.reserve(size);
  if (buffer == nullptr) throw std::bad_alloc();
  return buffer;
}

char* ContentReader::streamBuffer() {
  char* const buffer = stream_.reserve(kStreamRead);
  if (buffer == nullptr) throw std::bad_alloc();
  return buffer;
}

}  // namespace quillmark

#include "analysis/content_reader.h"

#include <cstring>
#include <istream>

#include "analysis/loaded_bytes_buf.h"
#include "bitmap/bitmap_header_view.h"
#include "bitmap/read_plan.h"

namespace quillmark {

namespace {

bool beginsWithBm(const char* bytes, std::uint64_t length) {
  return length >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
}

using Outcome = ContentReader::Result::Outcome;

}  // namespace

ContentReader::Result ContentReader::analyse(ContentSource& source, bool bmpOnly) {
  Result result;
  wholeContent_ = {};
  const std::uint64_t size = source.size();

  if (size <= wholeLimit_) {
    // The walk of a small picture touches most of its pages: one read.
    char* const buffer = reserve(static_cast<std::size_t>(size));
    const std::int64_t got = source.readAt(0, buffer, size);
    if (got < 0) return result;
    const auto length = static_cast<std::uint64_t>(got);  // less if the content shrank
    result.bytesRead = length;
    if (bmpOnly && !beginsWithBm(buffer, length)) {
      result.outcome = Outcome::kNotBmp;
      return result;
    }
    wholeContent_ = std::string_view(buffer, static_cast<std::size_t>(length));
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
  BitmapHeaderView::Bytes bytes{};
  std::memcpy(bytes.data(), header, bytes.size());
  const BitmapHeaderView view(bytes);
  const ReadPlan plan =
      ReadPlan::forWalk(view.width(), view.height(), size).bridgingGapsBelow(kBridgedGap);
  if (plan.size() > 1) source.willRead(plan);

  char* const buffer = reserve(static_cast<std::size_t>(plan.totalBytes()));
  LoadedBytesBuf content(size);
  const bool headerInPlan = !plan.empty() && plan.begin()->offset == 0;
  if (!headerInPlan) content.addSegment(0, header, sizeof header);
  std::size_t at = 0;
  for (const ByteRange& range : plan) {
    const std::int64_t got = source.readAt(range.offset, buffer + at, range.length);
    if (got < 0) return result;
    result.bytesRead += static_cast<std::uint64_t>(got);
    if (static_cast<std::uint64_t>(got) < range.length) {
      result.outcome = Outcome::kShrank;
      return result;
    }
    content.addSegment(range.offset, buffer + at, static_cast<std::size_t>(range.length));
    at += static_cast<std::size_t>(range.length);
  }
  return analyseLoaded(content, result);
}

ContentReader::Result ContentReader::analyseLoaded(std::streambuf& content, Result result) const {
  std::istream in(&content);
  result.analysis = quillmark::analyse(in);
  result.outcome = result.analysis ? Outcome::kAnalysed : Outcome::kNotAnalysable;
  return result;
}

char* ContentReader::reserve(std::size_t size) {
  if (size > capacity_) {
    buffer_.reset(new char[size]);
    capacity_ = size;
  }
  return buffer_.get();
}

}  // namespace quillmark

// Stands in for the disk image reader in a build without The Sleuth Kit:
// the scanner refuses --image before it walks anything, so nothing here is
// reached in use; it keeps the scanner's code free of build conditions.

#include "disk_image/image_reader.h"
#include "disk_image/image_walker.h"
#include "disk_image/library_progress.h"

namespace quillmark::disk_image {

namespace {

constexpr const char* kNotBuiltIn = "this build of quillmark-scan cannot read disk images";

}  // namespace

bool diskImagesSupported() { return false; }

std::vector<std::pair<std::string, std::string>> libraryVersions() { return {}; }

std::uint64_t libraryReadsSoFar() { return 0; }

bool ImageWalker::walk(std::size_t index, const std::string&, const Sink& sink) {
  ImageEntry entry;
  entry.kind = ImageEntry::Kind::kImageError;
  entry.file.image = index;
  entry.detail = kNotBuiltIn;
  return sink(entry);
}

struct ImageReader::Handles {
  std::string detail = kNotBuiltIn;
  std::vector<ByteRun> runs;
  FileTimes times;
};

ImageReader::ImageReader(const std::vector<std::string>&) : handles_(std::make_unique<Handles>()) {}

ImageReader::~ImageReader() = default;

ContentSource* ImageReader::open(const FileRef&) { return nullptr; }

ImageReader::Problem ImageReader::problem() const { return Problem::kUnreadable; }

const std::string& ImageReader::detail() const { return handles_->detail; }

const std::vector<ByteRun>& ImageReader::byteRuns() const { return handles_->runs; }

const FileTimes& ImageReader::times() const { return handles_->times; }

}  // namespace quillmark::disk_image

#ifndef QUILLMARK_SCAN_IMAGE_CHILD_H_
#define QUILLMARK_SCAN_IMAGE_CHILD_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "disk_image/image_walker.h"
#include "report/scan_record.h"
#include "scan/options.h"

namespace quillmark::scan {

// Disk images are read in child processes, one per image: the scanner runs
// kImageProgram with --image-child, and the child walks and reads the image
// through The Sleuth Kit and sends its records back as frames (see
// record_codec.h). The library parses hostile metadata; when it crashes on
// an image, or spins on it without reading anything for the timeout, only
// that child ends, and the scan records the image as an error and goes on.

// The program that reads disk images, installed beside quillmark-scan or in
// its libexec folder: the only one of ours, but for the walker of
// containers inside disk images, that loads The Sleuth Kit and the image
// libraries, so that a scan of files loads none of them.
inline constexpr char kImageProgram[] = "quillmark-scan-images";

// How the children of a scan are run.
struct ImageChildSettings {
  std::size_t jobs = 1;  // files each child reads at once
  bool bmpOnly = false;
  bool carve = false;          // also carve bitmaps out of unallocated space
  report::DigestSet hashes{};  // digests to take, as the workers take them
  bool hashAll = false;
  bool all = false;        // report every carved bitmap, not only payloads
  bool pictures = false;   // draw each carrier with a payload, for the HTML report
  bool containers = true;  // tell containers, which the parent has opened in turn
  unsigned timeout = Options::kDefaultImageTimeout;  // seconds without progress
};

// Scans the image named `image` in a child process, handing `emit` each of
// its records in walk order, then, if the child failed, an error record of
// the image saying how. `tally` counts the images and file systems the
// child opens. Stops the child and returns false when `emit` returns false
// or `interrupt` becomes non-zero; else true.
bool scanImageInChild(const ImageChildSettings& settings, const std::string& image,
                      disk_image::ImageWalker::Tally& tally, const std::atomic<int>& interrupt,
                      const std::function<bool(report::ScanRecord&)>& emit);

// The number of records that scanning `image` gives, as a child counts
// them with the library's own walk; nothing when the child fails or
// `cancel` is set.
std::optional<std::uint64_t> countImageInChild(const ImageChildSettings& settings,
                                               const std::string& image,
                                               const std::atomic<bool>& cancel);

// The child's side: scans (or counts) the one image of `options`, writing
// frames to standard output. Returns the exit status.
int runImageChild(const Options& options, const std::atomic<int>& interrupt);

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_IMAGE_CHILD_H_

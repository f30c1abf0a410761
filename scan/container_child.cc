#include "scan/container_child.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "container/archive_walker.h"
#include "container/container_format.h"
#include "container/mail_walker.h"
#include "container/pst_walker.h"
#include "disk_image/file_ref_text.h"
#include "disk_image/image_reader.h"
#include "report/output_stream.h"
#include "scan/child_process.h"
#include "scan/record_codec.h"
#include "scan/record_scanner.h"

namespace quillmark::scan {

namespace {

std::vector<std::string> childArguments(const ContainerChildSettings& settings,
                                        const report::ScanRecord& outer) {
  std::vector<std::string> arguments = {"quillmark-scan", "--container-child",
                                        "--max-depth=" + std::to_string(settings.maxDepth)};
  if (settings.bmpOnly) arguments.emplace_back("--bmp-only");
  appendDigestOptions(settings.hashes, settings.hashAll, arguments);
  if (settings.pictures) arguments.emplace_back("--format=html");
  // A container in a disk image is opened again in the image; its path
  // there only names it.
  if (!outer.imageFile.empty()) {
    arguments.push_back("--image=" + outer.image.value_or(""));
    arguments.push_back("--image-file=" + outer.imageFile);
  }
  arguments.emplace_back("--");
  arguments.push_back(outer.path);
  return arguments;
}

// The bytes this process has read from files so far (rchar of
// /proc/self/io), or 0 where that cannot be told.
std::uint64_t bytesReadSoFar() {
  std::FILE* io = std::fopen("/proc/self/io", "re");
  if (io == nullptr) return 0;
  char line[64] = {};
  const bool got = std::fgets(line, sizeof line, io) != nullptr;
  (void)std::fclose(io);
  constexpr std::string_view kField = "rchar: ";
  if (!got || std::string_view(line).substr(0, kField.size()) != kField) return 0;
  return std::strtoull(line + kField.size(), nullptr, 10);
}

// The container format of the file at `path`, as the parent told it from
// the same first bytes; empty when they cannot be read.
std::string formatOf(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  unsigned char head[container::kSignatureBytes];
  const ssize_t got = ::pread(fd, head, sizeof head, 0);
  ::close(fd);
  const char* const format =
      got > 0 ? container::containerFormatOf(head, static_cast<std::size_t>(got)) : nullptr;
  return format != nullptr ? format : "";
}

void skip(report::ScanRecord& record, report::SkipReason reason) {
  record.verdict = report::Verdict::kSkipped;
  record.skip = reason;
  record.reason = report::skipReasonText(reason);
}

// Walks the container that is a file in the one image of `options`, read
// by offset through the image's library as the image child reads files.
// A failure to open it is returned; the walk's own damage is handed to
// `visit` as a member without a chain.
std::optional<std::string> walkInImage(const Options& options,
                                       const container::ArchiveWalker& walker,
                                       const container::MailWalker& mail,
                                       const std::function<bool(container::Member&)>& visit) {
  disk_image::FileRef ref;
  if (!disk_image::parseFileRef(options.imageFile, ref)) return std::string("no file in the image");
  disk_image::ImageReader reader(options.images);
  ContentSource* const source = reader.open(ref);
  if (source == nullptr) return "cannot open the container in the image: " + reader.detail();
  unsigned char head[container::kSignatureBytes];
  const std::int64_t got = source->readAt(0, reinterpret_cast<char*>(head), sizeof head);
  const char* const format =
      got > 0 ? container::containerFormatOf(head, static_cast<std::size_t>(got)) : nullptr;
  if (format == nullptr) return "cannot read the container in the image: " + reader.detail();
  const std::string_view name = format;
  std::vector<container::MemberHop> chain;
  if (name == "mime" || name == "mbox") {
    (void)mail.walkSource(format, *source, chain, visit);
  } else if (name == "pst") {
    // The mailbox library reads files by name only: a mailbox in an image
    // is analysed as the bytes it is, as in an archive.
    container::Member member;
    member.content = source;
    member.randomAccess = true;
    member.readError = [&reader] { return reader.detail(); };
    (void)visit(member);
  } else {
    (void)walker.walkSource(*source, chain, visit, true);
  }
  return std::nullopt;
}

}  // namespace

bool scanContainerInChild(const ContainerChildSettings& settings, const report::ScanRecord& outer,
                          const std::atomic<int>& interrupt,
                          const std::function<bool(report::ScanRecord&)>& emit) {
  report::ScanRecord record;
  bool stopped = false;
  const std::optional<std::string> failure = runChild(
      ChildRun{settings.timeout, "the container", "the container library"},
      childArguments(settings, outer), [&] { return interrupt.load() != 0; },
      [&](const FrameReader& frame) {
        if (frame.kind() != FrameKind::kRecord) return true;
        if (!frame.record(record)) return false;  // damaged: the stream ends
        // The member lies where its container does.
        record.image = outer.image;
        record.fsOffset = outer.fsOffset;
        record.fsType = outer.fsType;
        record.volume = outer.volume;
        record.inode = outer.inode;
        record.deleted = outer.deleted;
        record.partition = outer.partition;
        return emit(record);
      },
      stopped);
  if (stopped) return false;
  if (!failure) return true;
  record = outer;
  record.containerFormat.clear();
  record.imageFile.clear();
  record.verdict = report::Verdict::kError;
  record.reason = *failure;
  return emit(record);
}

int runContainerChild(const Options& options) {
  capMemory();
  const std::string& path = options.paths.front();
  report::OutputStream out(STDOUT_FILENO);
  ScanSettings settings = scanSettings(options);
  settings.containers = false;  // the walk opens containers inside containers itself
  RecordScanner scanner(settings, std::vector<std::string>{});
  report::ScanRecord record;
  std::mutex output;  // the walk's records and the watchdog's frames
  const auto send = [&] {
    const std::lock_guard<std::mutex> lock(output);
    appendRecordFrame(record, out.buffer());
    out.flushIfFull();
    return out.ok();
  };
  // A member may take long to inflate (gigabytes of it) with no record to
  // send: while the child reads its file, it says so each second, so that
  // the parent's watchdog stops only a child that reads nothing.
  std::atomic<bool> finished{false};
  std::thread watchdog([&] {
    std::uint64_t read = bytesReadSoFar();
    for (unsigned tick = 1; !finished.load(); ++tick) {
      // Short sleeps, so that the end of the walk is not held up.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (tick % 10 != 0) continue;
      const std::uint64_t now = bytesReadSoFar();
      if (now == read) continue;
      read = now;
      const std::lock_guard<std::mutex> lock(output);
      appendCountFrame(FrameKind::kAlive, {}, out.buffer());
      out.flush();
    }
  });
  container::ArchiveWalker walker(options.maxDepth);
  bool encrypted = false;
  std::uint64_t members = 0;
  const std::function<bool(container::Member&)> visit = [&](container::Member& member) {
    ++members;
    record.clear();
    record.path = path;
    for (const container::MemberHop& hop : member.chain) {
      record.within.push_back(report::ContainerHop{hop.format, hop.member, hop.index, hop.locator});
    }
    switch (member.kind) {
      case container::Member::Kind::kContent:
        if (!(member.randomAccess ? scanner.scanSource(*member.content, record)
                                  : scanner.scanStream(*member.content, record))) {
          record.verdict = report::Verdict::kError;
          record.reason = "cannot read the member: " + member.readError();
        }
        break;
      case container::Member::Kind::kEncrypted:
        skip(record, report::SkipReason::kEncryptedMember);
        break;
      case container::Member::Kind::kTooDeep:
        skip(record, report::SkipReason::kNestedTooDeep);
        break;
      case container::Member::Kind::kTooLarge:
        skip(record, report::SkipReason::kStreamTooLarge);
        break;
      case container::Member::Kind::kDamaged:
        record.verdict = report::Verdict::kError;
        record.reason = "damaged container: " + member.why;
        break;
    }
    return send();
  };
  container::MailWalker mail(walker);
  walker.setMailWalker(&mail);
  std::optional<std::string> damage;
  if (!options.imageFile.empty()) {
    // On a thread of its own, as the image child reads images: The Sleuth
    // Kit keeps state per thread, freed only when the thread ends.
    std::thread reader([&] { damage = walkInImage(options, walker, mail, visit); });
    reader.join();
  } else if (const std::string format = formatOf(path); format == "pst") {
    damage = container::PstWalker(walker).walk(path, visit);
  } else if (format == "mime" || format == "mbox") {
    damage = mail.walk(path, visit);
  } else {
    damage = walker.walk(path, visit, encrypted);
  }
  if (damage) {
    record.clear();
    record.path = path;
    if (encrypted) {
      skip(record, report::SkipReason::kEncryptedMember);
    } else {
      record.verdict = report::Verdict::kError;
      record.reason = "damaged container: " + *damage;
    }
    (void)send();
  } else if (members == 0) {
    // Say so, rather than leave no trace of the file (a tar of zeros is
    // an empty archive, and so is a compressed stream of zeros).
    record.clear();
    record.path = path;
    skip(record, report::SkipReason::kEmptyContainer);
    (void)send();
  }
  finished = true;
  watchdog.join();
  out.flush();
  return out.ok() ? 0 : 2;
}

}  // namespace quillmark::scan

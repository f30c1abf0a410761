#include "scan/container_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
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
#include "scan/container_request.h"
#include "scan/member_order.h"
#include "scan/member_pipeline.h"
#include "scan/record_codec.h"
#include "scan/record_scanner.h"

namespace quillmark::scan {

namespace {

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
// the same first bytes, and its `size`; empty when they cannot be read.
std::string formatOf(const std::string& path, std::uint64_t& size) {
  size = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat status {};
  if (::fstat(fd, &status) == 0 && status.st_size > 0)
    size = static_cast<std::uint64_t>(status.st_size);
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

// The most lanes a zip is walked in. Each holds a reader of its own, and
// with it libarchive's index of the zip's members, about 160 bytes a member
// (16 MB for 100,000), and buffers of its own: two keep a zip of 100,000
// members within 64 MiB.
constexpr std::size_t kMaxLanes = 2;

// The smallest zip walked in lanes. A second lane costs a thread and a
// second read of the central directory: a smaller zip (an office
// document) is inflated in one lane sooner than two lanes start.
constexpr std::uint64_t kLanesFrom = std::uint64_t{1} << 20;

// The lanes a shared walk of a container uses: as many as --jobs asks, or
// else one per core, up to kMaxLanes.
std::size_t laneCount(const Options& options) {
  const std::size_t wanted =
      options.jobs != 0 ? options.jobs : std::max(1U, std::thread::hardware_concurrency());
  return std::min(wanted, kMaxLanes);
}

// What one thread walking a container needs: its own analysis, its own
// walkers and its own record.
struct Lane {
  explicit Lane(const Options& options)
      : scanner(childScanSettings(options), noImages), walker(options.maxDepth), mail(walker) {
    walker.setMailWalker(&mail);
    walker.setStoredZipMembersChecked(options.hashes != report::DigestSet{});
  }
  Lane(const Lane&) = delete;
  Lane& operator=(const Lane&) = delete;

  static ScanSettings childScanSettings(const Options& options) {
    ScanSettings settings = scanSettings(options);
    settings.containers = false;  // the walk opens containers inside containers itself
    return settings;
  }

  // The file `request` names in its disk image, read through this lane's
  // own reader of the image, kept from container to container (a reader
  // serves one thread at a time); nullptr, with `why`, when it cannot be
  // opened.
  ContentSource* openInImage(const ContainerRequest& request, std::string& why) {
    disk_image::FileRef ref;
    if (!disk_image::parseFileRef(request.imageFile, ref)) {
      why = "no file in the image";
      return nullptr;
    }
    if (images.empty() || images.front() != request.image) {
      reader.reset();  // the reader holds the list of images it was made with
      images = {request.image};
      reader = std::make_unique<disk_image::ImageReader>(images);
    }
    ContentSource* const source = reader->open(ref);
    if (source == nullptr) why = "cannot open the container in the image: " + reader->detail();
    return source;
  }

  const std::vector<std::string> noImages;  // a member is never read out of a disk image
  RecordScanner scanner;
  report::ScanRecord record;
  std::string frame;
  container::ArchiveWalker walker;
  container::MailWalker mail;
  std::vector<std::string> images;  // the image `reader` reads
  std::unique_ptr<disk_image::ImageReader> reader;
};

// The child's work: walks the containers it is asked for, one at a time,
// and writes their records as frames to standard output. A zip that is a
// file is walked by several lanes side by side, each reading the members
// it takes through a reader of its own (see MemberOrder): a zip's members
// are compressed one by one, and its central directory lets a lane skip
// the others unread.
class ContainerWalk {
 public:
  explicit ContainerWalk(const Options& options)
      : options_(options), out_(STDOUT_FILENO), laneCount_(laneCount(options)) {
    lanes_.push_back(std::make_unique<Lane>(options));
    if (laneCount_ > 1)
      pipeline_ = std::make_unique<MemberPipeline>(Lane::childScanSettings(options));
  }

  // Walks the container `request` names, then says so with a kDone frame.
  // Returns false once standard output cannot be written.
  bool walk(const ContainerRequest& request) {
    path_ = &request.path;
    Lane& first = *lanes_.front();
    std::uint64_t size = 0;
    const std::string format =
        request.imageFile.empty() ? formatOf(request.path, size) : std::string();
    if (!request.imageFile.empty()) {
      walkInImage(request);
    } else if (format == "pst") {
      walkAlone([&](const Visit& visit, bool&) {
        return container::PstWalker(first.walker).walk(request.path, visit);
      });
    } else if (container::isMail(format)) {
      walkAlone([&](const Visit& visit, bool&) {
        return first.mail.walk(format.c_str(), request.path, visit);
      });
    } else if (format == "zip" && inLanes(size)) {
      walkInLanes(
          [&](Lane& lane, const Visit& visit, bool& encrypted, container::MemberShare& share) {
            return lane.walker.walk(request.path, visit, encrypted, &share);
          });
    } else {
      walkAlone([&](const Visit& visit, bool& encrypted) {
        return first.walker.walk(request.path, visit, encrypted);
      });
    }
    const std::lock_guard<std::mutex> lock(output_);
    appendCountFrame(FrameKind::kDone, {}, out_.buffer());
    out_.flush();
    return out_.ok();
  }

  // A frame that says the child is alive, from the watchdog's thread.
  void sendAlive() {
    const std::lock_guard<std::mutex> lock(output_);
    appendCountFrame(FrameKind::kAlive, {}, out_.buffer());
    out_.flush();
  }

 private:
  using Visit = std::function<bool(container::Member&)>;

  // Walks one container in one lane, through `walk`, which hands `visit`
  // each member and returns the container's damage. With more than one
  // core, members are analysed by the pipeline while the walk reads on.
  void walkAlone(const std::function<std::optional<std::string>(const Visit&, bool&)>& walk) {
    MemberOrder order(1, options_.maxMembers, tooManyFrame(), writer());
    bool encrypted = false;
    std::optional<std::string> damage;
    if (pipeline_) {
      pipeline_->begin(order);
      damage = walk(pipelined(*lanes_.front()), encrypted);
      pipeline_->end();
    } else {
      damage = walk(visitor(*lanes_.front(), order, 0), encrypted);
    }
    order.finish(0);
    finishWalk(order, damage, encrypted);
  }

  // Walks the container that is the file `request` names in a disk image,
  // read by offset through the image's library, as the image child reads
  // files, and as the container would be if it were a file: a zip in
  // lanes, each reading the image through a reader of its own; anything
  // else in one lane.
  void walkInImage(const ContainerRequest& request) {
    Lane& first = *lanes_.front();
    std::string why;
    ContentSource* const source = first.openInImage(request, why);
    const char* const format = source != nullptr ? container::containerFormatOf(*source) : nullptr;
    if (format == nullptr) {
      if (source != nullptr)
        why = "cannot read the container in the image: " + first.reader->detail();
      walkAlone([&](const Visit&, bool&) { return std::optional<std::string>(why); });
    } else if (std::string_view(format) == "zip" && inLanes(source->size())) {
      walkInLanes([&](Lane& lane, const Visit& visit, bool& encrypted,
                      container::MemberShare& share) -> std::optional<std::string> {
        std::string unopened;
        ContentSource* const zip = &lane == &first ? source : lane.openInImage(request, unopened);
        // The first lane opened the zip: another that cannot leaves the
        // members to the lanes that could.
        if (zip == nullptr) return std::nullopt;
        return lane.walker.walk(*zip, visit, encrypted, &share);
      });
    } else if (container::isMail(format)) {
      walkAlone([&](const Visit& visit, bool&) {
        std::vector<container::MemberHop> chain;
        (void)first.mail.walkSource(format, *source, chain, visit, true);
        return std::optional<std::string>();  // a message's damage is a member of its own
      });
    } else if (std::string_view(format) == "pst") {
      walkAlone([&](const Visit& visit, bool&) {
        return container::PstWalker(first.walker).walkSource(*source, visit);
      });
    } else {
      walkAlone([&](const Visit& visit, bool& encrypted) {
        return first.walker.walk(*source, visit, encrypted);
      });
    }
  }

  // True when a zip of `size` bytes is walked in lanes.
  bool inLanes(std::uint64_t size) const { return laneCount_ > 1 && size >= kLanesFrom; }

  // Walks a zip in as many lanes as laneCount_, this thread the first;
  // `walkLane` walks it for one lane, taking the members `share` gives it,
  // and returns the zip's damage as that lane saw it.
  using LaneWalk = std::function<std::optional<std::string>(Lane&, const Visit&, bool&,
                                                            container::MemberShare&)>;
  void walkInLanes(const LaneWalk& walkLane) {
    const std::size_t lanes = laneCount_;
    while (lanes_.size() < lanes) lanes_.push_back(std::make_unique<Lane>(options_));
    MemberOrder order(lanes, options_.maxMembers, tooManyFrame(), writer());
    std::vector<std::optional<std::string>> damage(lanes);
    std::vector<char> encrypted(lanes, 0);
    const auto run = [&](std::size_t lane) {
      bool locked = false;
      const auto visit = visitor(*lanes_[lane], order, lane);
      damage[lane] = walkLane(*lanes_[lane], visit, locked, order.share(lane));
      encrypted[lane] = locked ? 1 : 0;
      order.finish(lane);
    };
    std::vector<std::thread> others;
    for (std::size_t lane = 1; lane < lanes; ++lane) others.emplace_back(run, lane);
    run(0);
    for (std::thread& other : others) other.join();
    // The lanes read one container: where one could not read it further,
    // its reason is the container's; else any lane's (it could not be
    // opened).
    const auto any =
        std::find_if(damage.begin(), damage.end(),
                     [](const std::optional<std::string>& why) { return why.has_value(); });
    const std::size_t told = order.brokenLane().value_or(
        any != damage.end() ? static_cast<std::size_t>(any - damage.begin()) : 0);
    finishWalk(order, damage[told], encrypted[told] != 0);
  }

  // The record of the container itself, once its members' are written:
  // why it could not be read further, or that it held nothing.
  void finishWalk(const MemberOrder& order, const std::optional<std::string>& damage,
                  bool encrypted) {
    if (order.stopped() && order.written() > 0) return;
    if (damage) {
      start();
      if (encrypted) {
        skip(record_, report::SkipReason::kEncryptedMember);
      } else {
        record_.verdict = report::Verdict::kError;
        record_.reason = "damaged container: " + *damage;
      }
      (void)send();
    } else if (order.written() == 0) {
      // Say so, rather than leave no trace of the file (a tar of zeros is
      // an empty archive, and so is a compressed stream of zeros).
      start();
      skip(record_, report::SkipReason::kEmptyContainer);
      (void)send();
    }
  }

  void start() {
    record_.clear();
    record_.path = *path_;
  }

  bool send() {
    const std::lock_guard<std::mutex> lock(output_);
    appendRecordFrame(record_, out_.buffer());
    out_.flushIfFull();
    return out_.ok();
  }

  // Writes a frame out, for a MemberOrder.
  std::function<bool(std::string_view)> writer() {
    return [this](std::string_view frame) {
      const std::lock_guard<std::mutex> lock(output_);
      out_.buffer().append(frame);
      out_.flushIfFull();
      return out_.ok();
    };
  }

  // The frame that says the walk gave up the rest of its members.
  std::string tooManyFrame() {
    start();
    skip(record_, report::SkipReason::kTooManyMembers);
    std::string frame;
    appendRecordFrame(record_, frame);
    return frame;
  }

  Visit visitor(Lane& lane, MemberOrder& order, std::size_t index) {
    return [this, &lane, &order, index](container::Member& found) {
      locate(lane.record, found);
      member(lane, found);
      lane.frame.clear();
      appendRecordFrame(lane.record, lane.frame);
      return order.add(index, lane.frame);
    };
  }

  // A visitor that queues each member on the pipeline, to be analysed
  // there, or, where it cannot, analyses it and queues the record.
  Visit pipelined(Lane& lane) {
    return [this, &lane](container::Member& found) {
      locate(lane.record, found);
      if (found.kind != container::Member::Kind::kContent ||
          !pipeline_->queueMember(lane.record, *found.content, found.randomAccess,
                                  found.readError)) {
        member(lane, found);
        lane.frame.clear();
        appendRecordFrame(lane.record, lane.frame);
        pipeline_->queueFrame(lane.frame);
      }
      return !pipeline_->stopped();
    };
  }

  // Starts `record` for `member`: the container's path and the chain to it.
  void locate(report::ScanRecord& record, const container::Member& member) const {
    record.clear();
    record.path = *path_;
    for (const container::MemberHop& hop : member.chain) {
      record.within.push_back(report::ContainerHop{hop.format, hop.member, hop.index, hop.locator});
    }
  }

  // Completes `lane`'s record, located, for `member`.
  void member(Lane& lane, container::Member& member) const {
    report::ScanRecord& record = lane.record;
    switch (member.kind) {
      case container::Member::Kind::kContent:
        if (!(member.randomAccess ? lane.scanner.scanSource(*member.content, record)
                                  : lane.scanner.scanStream(*member.content, record))) {
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
      case container::Member::Kind::kMailboxTooLarge:
        skip(record, report::SkipReason::kMailboxTooLarge);
        break;
      case container::Member::Kind::kDamaged:
        record.verdict = report::Verdict::kError;
        record.reason = "damaged container: " + member.why;
        break;
    }
  }

  const Options& options_;
  report::OutputStream out_;
  std::mutex output_;          // the walk's records and the watchdog's frames
  report::ScanRecord record_;  // the container's own record
  std::size_t laneCount_;
  std::vector<std::unique_ptr<Lane>> lanes_;
  std::unique_ptr<MemberPipeline> pipeline_;  // with more than one lane
  const std::string* path_ = nullptr;
};

}  // namespace

int runContainerChild(const Options& options) {
  capMemory();
  ContainerWalk walk(options);
  // A member may take long to inflate (gigabytes of it) with no record to
  // send: while the child reads its file, it says so each second, so that
  // the parent's watchdog stops only a child that reads nothing.
  std::mutex stopping;
  std::condition_variable stop;
  bool finished = false;
  std::thread watchdog([&] {
    std::uint64_t read = bytesReadSoFar();
    std::unique_lock<std::mutex> lock(stopping);
    while (!stop.wait_for(lock, std::chrono::seconds(1), [&] { return finished; })) {
      const std::uint64_t now = bytesReadSoFar();
      if (now == read) continue;
      read = now;
      walk.sendAlive();
    }
  });
  // The containers are walked on a thread of their own, as the image child
  // reads images: The Sleuth Kit keeps state per thread, freed only when
  // the thread ends.
  bool written = true;
  std::thread walker([&] {
    ContainerRequest request;
    if (!options.paths.empty()) {
      // One container named on the command line.
      request.path = options.paths.front();
      if (!options.imageFile.empty()) {
        request.image = options.images.front();
        request.imageFile = options.imageFile;
      }
      written = walk.walk(request);
      return;
    }
    while (written && readContainerRequest(STDIN_FILENO, request)) written = walk.walk(request);
  });
  walker.join();
  {
    const std::lock_guard<std::mutex> lock(stopping);
    finished = true;
  }
  stop.notify_one();
  watchdog.join();
  return written ? 0 : 2;
}

std::vector<std::pair<std::string, std::string>> walkerLibraryVersions() {
  std::vector<std::pair<std::string, std::string>> versions;
  for (const auto& [name, version] :
       {std::pair<const char*, std::string>{"libarchive", container::archiveLibraryVersion()},
        {"libpff", container::pffLibraryVersion()},
        {"GMime", container::mailLibraryVersion()}}) {
    if (!version.empty()) versions.emplace_back(name, version);
  }
  return versions;
}

}  // namespace quillmark::scan

#ifndef QUILLMARK_SCAN_MEMBER_PIPELINE_H_
#define QUILLMARK_SCAN_MEMBER_PIPELINE_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "analysis/content_source.h"
#include "report/scan_record.h"
#include "scan/member_order.h"
#include "scan/record_scanner.h"

namespace quillmark::scan {

// Analyses the members of a walk on a thread of its own while the walk
// reads on: over a compressed archive, inflating and analysing then take a
// core each. The walk reads a small member's bytes whole, in the one read
// the analysis would make of them, and queues them; this thread analyses
// them as a walk would have and hands each record to lane 0 of the
// container's MemberOrder. A record the walk made itself (a larger member,
// a skip) is queued in turn, so records keep the walk's order.
//
// Holds at most kSlots members, of at most ContentReader's whole limit
// each; the walk waits while they are all taken.
class MemberPipeline {
 public:
  static constexpr std::size_t kSlots = 16;
  // Members queued before the analysis is woken to them.
  static constexpr std::size_t kBatch = 4;

  explicit MemberPipeline(const ScanSettings& settings);
  ~MemberPipeline();
  MemberPipeline(const MemberPipeline&) = delete;
  MemberPipeline& operator=(const MemberPipeline&) = delete;

  // A container's walk begins: its records go to `order`.
  void begin(MemberOrder& order);
  // Waits until every record queued has been handed on.
  void end();

  // Queues the member `content` (read once, in order, unless
  // `randomAccess`) for analysis into `record`, whose location is set; false
  // when it is not taken (too large, or read by offset and not whole), and
  // the walk analyses it itself. `readError` says why a read failed.
  bool queueMember(const report::ScanRecord& record, ContentSource& content, bool randomAccess,
                   const std::function<std::string()>& readError);
  // Queues a record frame the walk made.
  void queueFrame(std::string_view frame);

  // The container's walk is to stop: the order said so.
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  struct Slot {
    bool analyse = false;  // else `frame` is the record, made by the walk
    bool randomAccess = false;
    report::ScanRecord record;
    std::uint64_t size = 0;
    std::unique_ptr<char[]> buffer;  // the member's bytes, as the read gave them
    std::int64_t got = 0;            // what the read returned
    std::string readError;           // why it failed
    std::string frame;               // the record frame to hand on
  };

  // The slot to fill next, once one is free.
  Slot& acquire();
  // The slot acquire gave is filled.
  void publish();
  void run();
  // Analyses what `slot` holds, if it is to be, and hands its record on.
  void handOn(Slot& slot, MemberOrder& order);

  const std::vector<std::string> noImages_;  // a member is never read out of a disk image
  RecordScanner scanner_;
  std::array<Slot, kSlots> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t head_ = 0;   // the next slot to hand on
  std::size_t count_ = 0;  // slots filled and not yet handed on
  bool ending_ = false;    // end() waits for the last records
  bool quit_ = false;
  MemberOrder* order_ = nullptr;
  std::atomic<bool> stopped_{false};
  std::thread thread_;
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_MEMBER_PIPELINE_H_

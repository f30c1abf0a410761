#ifndef QUILLMARK_SCAN_SCAN_PIPELINE_H_
#define QUILLMARK_SCAN_SCAN_PIPELINE_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "report/scan_record.h"
#include "scan/record_scanner.h"
#include "scan/scan_task.h"

namespace quillmark::scan {

// Runs a scan on several threads and hands back its records in walk order.
// One producer thread walks (through `produce`) and puts records, each with
// the task that completes it, into a ring of `window` slots; `jobs` worker
// threads take them in order and carry out their tasks, each with a
// RecordScanner of its own; the calling thread takes
// the finished records from the ring strictly in order and hands them to
// `consume`. The producer waits while the ring is full, so memory is fixed
// by the window, whatever the size of the collection, and a slow or stalled
// file holds up only the records behind it, never their order.
//
// Stopping: when `interrupt` becomes non-zero, or `consume` returns false,
// no new file is started; the records of the files already started are
// still handed to `consume` (unless it asked to stop), then run returns.
class ScanPipeline {
 public:
  // Takes over the record and task (swapping them with a free slot's, so
  // that both keep their memory); false: stop producing.
  using Emit = std::function<bool(report::ScanRecord&, ScanTask&)>;
  using Produce = std::function<void(const Emit&)>;
  using Consume = std::function<bool(report::ScanRecord&)>;  // false: stop the scan
  using Idle = std::function<void()>;

  // `images` names the disk images that tasks read from, by index; it must
  // outlive the pipeline.
  ScanPipeline(std::size_t jobs, std::size_t window, const ScanSettings& settings,
               const std::vector<std::string>& images, const std::atomic<int>& interrupt);

  // Runs the scan. `produce` runs on a thread of its own, with SIGINT and
  // SIGTERM unblocked there (they are blocked in the workers); `idle` runs
  // on the calling thread whenever it waits, at least ten times a second.
  void run(const Produce& produce, const Consume& consume, const Idle& idle);

 private:
  enum class State { kFree, kPending, kDone };
  struct Slot {
    ScanTask task;
    report::ScanRecord record;
    State state = State::kFree;
  };

  bool emit(report::ScanRecord& record, ScanTask& task);
  void work();
  void stopLocked();

  const std::size_t jobs_;
  const ScanSettings settings_;
  const std::vector<std::string>& images_;
  const std::atomic<int>& interrupt_;
  std::vector<Slot> slots_;

  std::mutex mutex_;
  std::condition_variable spaceFree_;   // the producer waits for a free slot
  std::condition_variable workReady_;   // workers wait for an entry
  std::condition_variable recordDone_;  // the consumer waits for the next record
  std::uint64_t produced_ = 0;          // entries put into the ring
  std::uint64_t claimed_ = 0;           // entries taken by workers
  std::uint64_t consumed_ = 0;          // records handed to consume
  bool producerDone_ = false;
  bool stopping_ = false;
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_SCAN_PIPELINE_H_

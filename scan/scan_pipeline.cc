#include "scan/scan_pipeline.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "scan/record_scanner.h"

namespace quillmark::scan {

ScanPipeline::ScanPipeline(std::size_t jobs, std::size_t window, const ScanSettings& settings,
                           const std::vector<std::string>& images,
                           const std::atomic<int>& interrupt)
    : jobs_(jobs < 1 ? 1 : jobs),
      settings_(settings),
      images_(images),
      interrupt_(interrupt),
      slots_(window < jobs_ ? jobs_ : window) {}

void ScanPipeline::stopLocked() {
  stopping_ = true;
  spaceFree_.notify_all();
  workReady_.notify_all();
  recordDone_.notify_all();
}

bool ScanPipeline::emit(report::ScanRecord& record, ScanTask& task) {
  std::unique_lock<std::mutex> lock(mutex_);
  spaceFree_.wait(lock, [this] {
    return stopping_ || interrupt_.load() != 0 || produced_ - consumed_ < slots_.size();
  });
  if (stopping_ || interrupt_.load() != 0) return false;
  Slot& slot = slots_[produced_ % slots_.size()];
  std::swap(slot.record, record);  // both keep their memory for reuse
  std::swap(slot.task, task);
  slot.state = State::kPending;
  ++produced_;
  workReady_.notify_one();
  return true;
}

void ScanPipeline::work() {
  RecordScanner scanner(settings_, images_);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    workReady_.wait(lock, [this] { return stopping_ || claimed_ < produced_ || producerDone_; });
    if (stopping_ || claimed_ == produced_) {
      if (stopping_ || producerDone_) return;
      continue;
    }
    const std::uint64_t sequence = claimed_++;
    Slot& slot = slots_[sequence % slots_.size()];
    lock.unlock();

    scanner.complete(slot.task, slot.record);

    lock.lock();
    slot.state = State::kDone;
    if (sequence == consumed_) recordDone_.notify_one();
  }
}

namespace {

void wakeOnly(int) {}

}  // namespace

void ScanPipeline::run(const Produce& produce, const Consume& consume, const Idle& idle) {
  struct sigaction wake {};
  wake.sa_handler = wakeOnly;  // no SA_RESTART: the blocking call returns EINTR
  sigemptyset(&wake.sa_mask);
  sigaction(SIGUSR1, &wake, nullptr);

  // Workers and this thread leave SIGINT and SIGTERM to the producer, so
  // that a signal interrupts its blocking reads (a list on standard input).
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);

  std::vector<std::thread> workers;
  workers.reserve(jobs_);
  for (std::size_t i = 0; i < jobs_; ++i) workers.emplace_back([this] { work(); });
  std::thread producer([&] {
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    produce([this](report::ScanRecord& record, ScanTask& task) { return emit(record, task); });
    std::lock_guard<std::mutex> lock(mutex_);
    producerDone_ = true;
    workReady_.notify_all();
    recordDone_.notify_all();
  });

  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!stopping_ && interrupt_.load() != 0) stopLocked();
    // Once stopping, only the files already started are waited for.
    const bool more = stopping_ ? consumed_ < claimed_ : consumed_ < produced_ || !producerDone_;
    if (!more) break;
    Slot& slot = slots_[consumed_ % slots_.size()];
    if (consumed_ < produced_ && slot.state == State::kDone) {
      lock.unlock();
      const bool keepGoing = consume(slot.record);
      lock.lock();
      slot.state = State::kFree;
      ++consumed_;
      spaceFree_.notify_one();
      if (!keepGoing && !stopping_) stopLocked();
      continue;
    }
    lock.unlock();
    idle();
    lock.lock();
    // A record finished, or the producer done, while the lock was let go
    // notified no one: the wait looks first, so as not to sleep through it.
    recordDone_.wait_for(lock, std::chrono::milliseconds(100), [&] {
      const bool ready = consumed_ < produced_ && slot.state == State::kDone;
      const bool finished =
          stopping_ ? consumed_ >= claimed_ : producerDone_ && consumed_ >= produced_;
      return ready || finished || (!stopping_ && interrupt_.load() != 0);
    });
  }
  stopLocked();
  // The producer may be blocked reading a list from a terminal or a pipe;
  // a signal with a handler that does nothing ends that read with EINTR.
  while (!producerDone_) {
    pthread_kill(producer.native_handle(), SIGUSR1);
    recordDone_.wait_for(lock, std::chrono::milliseconds(20));
  }
  lock.unlock();
  producer.join();
  for (std::thread& worker : workers) worker.join();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace quillmark::scan

#include "scan/member_pipeline.h"

#include <algorithm>
#include <cstring>

#include "analysis/content_reader.h"
#include "scan/record_codec.h"

namespace quillmark::scan {

namespace {

// A member's bytes as one read of them gave them, read again as the member
// would be: in order from the start (as it streamed), or at any offset (as
// it lies, read whole). A read that failed fails again.
class HeldContent final : public ContentSource {
 public:
  HeldContent(std::uint64_t size, std::string_view held, bool failed, bool inOrder)
      : size_(size), held_(held), failed_(failed), inOrder_(inOrder) {}

  std::uint64_t size() const override { return size_; }

  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (failed_ || (inOrder_ && offset != position_)) return -1;
    if (offset >= held_.size()) return 0;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, held_.size() - offset));
    std::memcpy(into, held_.data() + offset, count);
    position_ = offset + count;
    return static_cast<std::int64_t>(count);
  }

  // What the one read of a small member gives, when it gave it whole.
  const char* held() const override {
    return !failed_ && position_ == 0 && held_.size() == size_ ? held_.data() : nullptr;
  }

 private:
  std::uint64_t size_;
  std::string_view held_;
  bool failed_;
  bool inOrder_;
  std::uint64_t position_ = 0;
};

}  // namespace

MemberPipeline::MemberPipeline(const ScanSettings& settings)
    : scanner_(settings, noImages_), thread_([this] { run(); }) {}

MemberPipeline::~MemberPipeline() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void MemberPipeline::begin(MemberOrder& order) {
  const std::lock_guard<std::mutex> lock(mutex_);
  order_ = &order;
  stopped_ = false;
}

void MemberPipeline::end() {
  std::unique_lock<std::mutex> lock(mutex_);
  ending_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return count_ == 0; });
  ending_ = false;
  order_ = nullptr;
}

MemberPipeline::Slot& MemberPipeline::acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return count_ < kSlots; });
  // Only this side fills slots, and handing one on moves the head and the
  // count together: the slot after the filled ones stays where it is.
  return slots_[(head_ + count_) % kSlots];
}

void MemberPipeline::publish() {
  const std::lock_guard<std::mutex> lock(mutex_);
  // The analysis is woken for a batch of members, not for each: waking a
  // thread costs about what analysing a small member does.
  if (++count_ == kBatch) changed_.notify_all();
}

bool MemberPipeline::queueMember(const report::ScanRecord& record, ContentSource& content,
                                 bool randomAccess, const std::function<std::string()>& readError) {
  const std::uint64_t size = content.size();
  if (size > ContentReader::kDefaultWholeLimit) return false;
  Slot& slot = acquire();
  if (!slot.buffer) slot.buffer = std::make_unique<char[]>(ContentReader::kDefaultWholeLimit);
  const std::int64_t got = content.readAt(0, slot.buffer.get(), size);
  // Read by offset, a member not read whole is read again by the walk.
  if (randomAccess && got != static_cast<std::int64_t>(size)) return false;
  slot.analyse = true;
  slot.randomAccess = randomAccess;
  slot.record = record;
  slot.size = size;
  slot.got = got;
  slot.readError = got < 0 ? readError() : std::string();
  publish();
  return true;
}

void MemberPipeline::queueFrame(std::string_view frame) {
  Slot& slot = acquire();
  slot.analyse = false;
  slot.frame.assign(frame);
  publish();
}

void MemberPipeline::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Woken for a batch, the analysis takes every member queued before it
    // waits again.
    changed_.wait(lock, [&] { return count_ >= kBatch || quit_ || (ending_ && count_ > 0); });
    if (count_ == 0) return;
    while (count_ > 0) {
      Slot& slot = slots_[head_];
      MemberOrder* const order = order_;
      lock.unlock();
      handOn(slot, *order);
      lock.lock();
      head_ = (head_ + 1) % kSlots;
      // The walk waits for a slot only once they are all taken.
      if (count_-- == kSlots) changed_.notify_all();
    }
    changed_.notify_all();  // for end()
  }
}

void MemberPipeline::handOn(Slot& slot, MemberOrder& order) {
  if (slot.analyse) {
    const bool failed = slot.got < 0;
    HeldContent held(
        slot.size,
        std::string_view(slot.buffer.get(), failed ? 0 : static_cast<std::size_t>(slot.got)),
        failed, !slot.randomAccess);
    const bool read = slot.randomAccess ? scanner_.scanSource(held, slot.record)
                                        : scanner_.scanStream(held, slot.record);
    if (!read) {
      slot.record.verdict = report::Verdict::kError;
      slot.record.reason = "cannot read the member: " + slot.readError;
    }
    slot.frame.clear();
    appendRecordFrame(slot.record, slot.frame);
  }
  if (!order.add(0, slot.frame)) stopped_ = true;
}

}  // namespace quillmark::scan

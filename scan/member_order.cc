#include "scan/member_order.h"

#include <algorithm>
#include <utility>

namespace quillmark::scan {

using Turn = container::MemberShare::Turn;

MemberOrder::MemberOrder(std::size_t lanes, std::uint64_t maxMembers, std::string tooMany,
                         std::function<bool(std::string_view)> write)
    : lanes_(std::max<std::size_t>(lanes, 1)),
      maxMembers_(maxMembers),
      tooMany_(std::move(tooMany)),
      write_(std::move(write)) {
  for (std::size_t lane = 0; lane < lanes_.size(); ++lane) shares_.emplace_back(*this, lane);
}

Turn MemberOrder::take(std::size_t lane, std::uint64_t index) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_ || index >= cut_) return Turn::kStop;
  Lane& self = lanes_[lane];
  if (!self.claimed) {
    // The member it held is done: the next one no lane has taken.
    self.member = next_++;
    self.claimed = true;
    drain();
    wake();
  }
  // Every lane has taken each member it passes over, so the one this lane
  // took lies at or ahead of it.
  if (index < self.member) return Turn::kPass;
  self.claimed = false;
  return Turn::kTake;
}

void MemberOrder::brokeAt(std::size_t lane, std::uint64_t index) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (index < cut_ || (index == cut_ && brokenLane_ && lane < *brokenLane_)) {
    cut_ = index;
    brokenLane_ = lane;
  }
  drain();
  wake();
}

void MemberOrder::finish(std::size_t lane) {
  const std::lock_guard<std::mutex> lock(mutex_);
  lanes_[lane].member = kNone;
  lanes_[lane].claimed = false;
  drain();
  wake();
}

bool MemberOrder::add(std::size_t lane, std::string_view frame) {
  std::unique_lock<std::mutex> lock(mutex_);
  Lane& self = lanes_[lane];
  if (stopped_ || self.member >= cut_) return false;
  self.held.push_back(Held{self.member, std::string(frame)});
  self.heldBytes += frame.size();
  drain();
  if (stopped_) wake();
  // Ahead of the lowest member, a lane waits once it keeps enough.
  if (self.heldBytes > kLaneBound) {
    ++waiting_;
    moved_.wait(lock,
                [&] { return stopped_ || self.member >= cut_ || self.heldBytes <= kLaneBound; });
    --waiting_;
  }
  return !stopped_ && self.member < cut_;
}

void MemberOrder::wake() {
  if (waiting_ > 0) moved_.notify_all();
}

void MemberOrder::drain() {
  for (;;) {
    std::uint64_t lowest = kNone;  // the lowest member a lane still holds
    Lane* first = nullptr;         // the lane that keeps the lowest record
    for (Lane& lane : lanes_) {
      lowest = std::min(lowest, lane.member);
      if (!lane.held.empty() &&
          (first == nullptr || lane.held.front().member < first->held.front().member)) {
        first = &lane;
      }
    }
    if (first == nullptr || first->held.front().member > lowest) return;
    Held& held = first->held.front();
    if (held.member < cut_) emit(held.frame);
    first->heldBytes -= held.frame.size();
    first->held.pop_front();
  }
}

void MemberOrder::emit(std::string_view frame) {
  if (stopped_) return;
  // A bomb of nested archives holds millions of members: past the limit,
  // one record says the rest was given up, and the walk stops.
  if (++written_ > maxMembers_) {
    (void)write_(tooMany_);
    stopped_ = true;
    return;
  }
  if (!write_(frame)) stopped_ = true;
}

}  // namespace quillmark::scan

#ifndef QUILLMARK_SCAN_MEMBER_ORDER_H_
#define QUILLMARK_SCAN_MEMBER_ORDER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "container/archive_walker.h"

namespace quillmark::scan {

// The records of one container's members, made by lanes that walk the
// container side by side (each through a reader of its own, each taking
// the next member no lane has taken), written out in the container's own
// order, so that the output is the one a single walk would give.
//
// A lane's records belong to the member it took last (with everything
// inside that member). Records of the lowest member any lane holds are
// written as they come; a lane ahead of it keeps its records until the
// members before them are done, up to kLaneBound bytes, then waits. The
// lane that holds the lowest member never waits, so the lanes always move.
//
// Members are counted as their records are written, in order: past
// `maxMembers` one record (`tooMany`) says the rest was given up, and the
// walk stops. Where a lane cannot read the container further, records of
// the members from there on are dropped, as a single walk would never
// reach them, and the lanes stop there.
//
// With one lane that never takes (any walk that is not shared), records
// are written as they come.
class MemberOrder {
 public:
  static constexpr std::size_t kLaneBound = std::size_t{1} << 20;

  // `write` writes a record frame out and says whether output goes on.
  MemberOrder(std::size_t lanes, std::uint64_t maxMembers, std::string tooMany,
              std::function<bool(std::string_view)> write);
  MemberOrder(const MemberOrder&) = delete;
  MemberOrder& operator=(const MemberOrder&) = delete;

  // What a lane's walk asks: which members are its own, where it broke.
  container::MemberShare& share(std::size_t lane) { return shares_[lane]; }

  // The frame of a record of lane `lane`'s member. False once the walk
  // must stop (too many members, output closed, the container broken
  // before the member).
  bool add(std::size_t lane, std::string_view frame);

  // Lane `lane` walks no further: what it holds is written in turn.
  void finish(std::size_t lane);

  // After every lane finished: the records written, and the lane that
  // could read the container least far, if one could not read it whole.
  std::uint64_t written() const { return written_; }
  bool stopped() const { return stopped_; }
  std::optional<std::size_t> brokenLane() const { return brokenLane_; }

 private:
  static constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

  class Share final : public container::MemberShare {
   public:
    Share(MemberOrder& order, std::size_t lane) : order_(order), lane_(lane) {}
    Turn take(std::uint64_t index) override { return order_.take(lane_, index); }
    void brokeAt(std::uint64_t index) override { order_.brokeAt(lane_, index); }

   private:
    MemberOrder& order_;
    std::size_t lane_;
  };

  struct Held {
    std::uint64_t member;
    std::string frame;
  };

  struct Lane {
    std::uint64_t member = 0;  // the member it holds; kNone once finished
    bool claimed = false;      // `member` was taken and is still to come
    std::deque<Held> held;     // records kept back, in order
    std::size_t heldBytes = 0;
  };

  container::MemberShare::Turn take(std::size_t lane, std::uint64_t index);
  void brokeAt(std::size_t lane, std::uint64_t index);
  // Writes every kept record whose turn has come. Under the lock.
  void drain();
  // Writes one frame, counting it. Under the lock.
  void emit(std::string_view frame);
  // Wakes the lanes that wait for their records to be written. Under the
  // lock.
  void wake();

  std::mutex mutex_;
  std::condition_variable moved_;
  unsigned waiting_ = 0;  // lanes waiting on `moved_`
  std::vector<Lane> lanes_;
  std::deque<Share> shares_;
  std::uint64_t next_ = 0;     // the next member to take
  std::uint64_t cut_ = kNone;  // members from here on are past the break
  std::optional<std::size_t> brokenLane_;
  std::uint64_t maxMembers_;
  std::string tooMany_;
  std::function<bool(std::string_view)> write_;
  std::uint64_t written_ = 0;
  bool stopped_ = false;
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_MEMBER_ORDER_H_

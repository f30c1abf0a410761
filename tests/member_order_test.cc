// The records of lanes that walk one container side by side, written in
// the container's order.

#include "scan/member_order.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace quillmark {
namespace {

using scan::MemberOrder;
using Turn = container::MemberShare::Turn;

// One thing a lane does, and what it must be told.
struct Step {
  enum class Op { kTake, kAdd, kBreak, kFinish } op;
  std::size_t lane;
  std::uint64_t index;  // kTake, kBreak: the entry
  const char* frame;    // kAdd
  int expected;         // kTake: the Turn; kAdd: 1 to go on, 0 to stop
};

constexpr Step take(std::size_t lane, std::uint64_t index, Turn turn) {
  return {Step::Op::kTake, lane, index, nullptr, static_cast<int>(turn)};
}
constexpr Step add(std::size_t lane, const char* frame, bool more = true) {
  return {Step::Op::kAdd, lane, 0, frame, more ? 1 : 0};
}
constexpr Step broke(std::size_t lane, std::uint64_t index) {
  return {Step::Op::kBreak, lane, index, nullptr, 0};
}
constexpr Step finish(std::size_t lane) { return {Step::Op::kFinish, lane, 0, nullptr, 0}; }

struct Script {
  const char* what;
  std::size_t lanes;
  std::uint64_t maxMembers;
  std::size_t writable;  // frames the output takes before it closes
  std::vector<Step> steps;
  const char* output;  // the frames written, in order
  std::uint64_t written;
  int brokenLane;  // -1: none
};

TEST(MemberOrderTest, WritesWhatTheLanesFindInTheContainersOrder) {
  const Turn T = Turn::kTake, P = Turn::kPass, S = Turn::kStop;
  const std::vector<Script> scripts = {
      {"a lane ahead keeps its records until the members before are done",
       2,
       100,
       100,
       {take(0, 0, T), take(1, 0, P), take(1, 1, T), add(1, "b"), add(1, "B"), add(0, "a"),
        take(1, 2, T), add(1, "c"), take(0, 1, P), take(0, 2, P), take(0, 3, T), add(0, "d"),
        finish(1), finish(0)},
       "abBcd",
       5,
       -1},
      {"a member with no record (a folder) still gives way",
       2,
       100,
       100,
       {take(0, 0, T), take(1, 0, P), take(1, 1, T), add(1, "b"), take(0, 1, P), take(0, 2, T),
        add(0, "c"), finish(0), finish(1)},
       "bc",
       2,
       -1},
      {"records past a break are dropped, and the lanes stop there",
       2,
       100,
       100,
       {take(0, 0, T), take(1, 0, P), take(1, 1, T), add(1, "b"), take(1, 2, T), add(1, "c"),
        add(0, "a"), broke(0, 1), take(1, 3, S), finish(1), finish(0)},
       "a",
       1,
       0},
      {"the lane that broke first is the one that tells why",
       2,
       100,
       100,
       {take(0, 0, T), take(1, 0, P), add(0, "a"), broke(1, 1), broke(0, 1), finish(0), finish(1)},
       "a",
       1,
       0},
      {"past the most members, one record says so and the walk stops",
       1,
       2,
       100,
       {add(0, "a"), add(0, "b"), add(0, "c", false), finish(0)},
       "ab!",
       3,
       -1},
      {"the most members are counted in order, not as the lanes find them",
       2,
       2,
       100,
       {take(0, 0, T), take(1, 0, P), take(1, 1, T), add(1, "b"), add(1, "c"), add(1, "d"),
        add(0, "a"), take(0, 1, P), take(0, 2, S), add(1, "e", false), finish(0), finish(1)},
       "ab!",
       3,
       -1},
      {"closed output stops the walk",
       2,
       100,
       1,
       {take(0, 0, T), add(0, "a"), add(0, "b", false), take(1, 0, S), finish(0), finish(1)},
       "a",
       2,
       -1},
  };
  for (const Script& script : scripts) {
    SCOPED_TRACE(script.what);
    std::string output;
    std::size_t writable = script.writable;
    MemberOrder order(script.lanes, script.maxMembers, "!", [&](std::string_view frame) {
      if (writable == 0) return false;
      --writable;
      output.append(frame);
      return true;
    });
    for (std::size_t number = 0; number < script.steps.size(); ++number) {
      const Step& step = script.steps[number];
      SCOPED_TRACE("step " + std::to_string(number));
      switch (step.op) {
        case Step::Op::kTake:
          EXPECT_EQ(static_cast<int>(order.share(step.lane).take(step.index)), step.expected);
          break;
        case Step::Op::kAdd:
          EXPECT_EQ(order.add(step.lane, step.frame) ? 1 : 0, step.expected);
          break;
        case Step::Op::kBreak:
          order.share(step.lane).brokeAt(step.index);
          break;
        case Step::Op::kFinish:
          order.finish(step.lane);
          break;
      }
    }
    EXPECT_EQ(output, script.output);
    EXPECT_EQ(order.written(), script.written);
    EXPECT_EQ(order.brokenLane() ? static_cast<int>(*order.brokenLane()) : -1, script.brokenLane);
  }
}

TEST(MemberOrderTest, ALaneAheadWaitsOnceItKeepsEnoughUntilItsTurnComes) {
  std::string output;
  MemberOrder order(2, 100, "!", [&](std::string_view frame) {
    output.append(frame.substr(0, 1));
    return true;
  });
  ASSERT_EQ(order.share(0).take(0), Turn::kTake);
  ASSERT_EQ(order.share(1).take(0), Turn::kPass);
  ASSERT_EQ(order.share(1).take(1), Turn::kTake);
  const std::string big(MemberOrder::kLaneBound, 'b');
  std::atomic<bool> returned{false};
  std::thread ahead([&] {
    EXPECT_TRUE(order.add(1, big));  // kept: exactly the bound
    EXPECT_TRUE(order.add(1, big));  // over it: waits
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load()) << "a lane ahead keeps no more than the bound";
  EXPECT_TRUE(order.add(0, "a"));
  order.finish(0);  // member 0 done: member 1's records are written
  ahead.join();
  order.finish(1);
  EXPECT_EQ(output, "abb");
}

}  // namespace
}  // namespace quillmark

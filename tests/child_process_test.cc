#include "scan/child_process.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace quillmark::scan {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A child's end is seen as it comes, and one that does not end in the time
// given is reported so, after that time and not long after it.
TEST(ChildProcessTest, ExitsWithinSeesTheEndOrTheTimeout) {
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    milliseconds within;
    bool ends;
  };
  const Case cases[] = {
      {"a child that ends at once", {"true"}, milliseconds(20000), true},
      {"a child that ends on its input's end", {"cat"}, milliseconds(20000), true},
      {"a child that outlasts the time", {"sleep", "30"}, milliseconds(200), false},
  };
  for (const Case& c : cases) {
    ChildProcess child;
    std::string error;
    ASSERT_TRUE(child.start(c.arguments, true, error, "/usr/bin/" + c.arguments[0]))
        << c.what << ": " << error;
    child.closeInput();
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(child.exitsWithin(c.within), c.ends) << c.what;
    const auto took = Clock::now() - start;
    // Seen at its end, not at the end of the time given; else after it.
    EXPECT_LT(took, c.ends ? c.within / 2 : c.within * 10) << c.what;
    if (!c.ends) {
      EXPECT_GE(took, c.within) << c.what;
      child.stop();
    }
    const int status = child.wait();
    EXPECT_EQ(WIFEXITED(status), c.ends) << c.what;
  }
}

}  // namespace
}  // namespace quillmark::scan

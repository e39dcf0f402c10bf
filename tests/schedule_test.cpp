// The scheduling functions: sleeps that last their time, yields that let
// another thread run, and the processor count. The module is never started
// here: these functions serve before start-up too. Each case runs in a
// bounded child, so that a sleep of the wrong unit fails instead of hanging.
#include "re5zor4/schedule.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "support/test_support.h"

namespace {

using re5zor4_test::OnlineProcessors;
using re5zor4_test::PinToOneProcessor;
using re5zor4_test::RunInChild;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Each call blocks for at least its time, and not ten times as long.
TEST(Schedule, SleepsLastTheirTime) {
  struct Case {
    const char* call;
    void (*run)();
    milliseconds least;
  };
  const Case cases[] = {
      {"ZnSleep(1)", [] { EXPECT_EQ(ZnSleep(1), 0); }, milliseconds(1000)},
      {"ZnSleep(0)", [] { EXPECT_EQ(ZnSleep(0), 0); }, milliseconds(0)},
      {"ZnThreadSwitchWithDelay(120)", [] { ZnThreadSwitchWithDelay(120); }, milliseconds(120)},
      {"ZnThreadSwitchWithDelay(0)", [] { ZnThreadSwitchWithDelay(0); }, milliseconds(0)},
      {"ZnThreadSwitch()", [] { ZnThreadSwitch(); }, milliseconds(0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    RunInChild([&] {
      const Clock::time_point start = Clock::now();
      c.run();
      const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
      EXPECT_GE(took, c.least);
      EXPECT_LT(took, 10 * c.least + milliseconds(500));
    });
  }
}

// With both threads on one processor, a yield hands it to the other runnable
// thread at once: the yielding loop sees the other's store after a few
// rounds, where a call that yields nothing spins until its time slice ends
// (hundreds of thousands of rounds). The count is that of the processors
// online, which pinning the process doesn't change.
TEST(Schedule, YieldsHandTheProcessorOver) {
  struct Case {
    const char* call;
    void (*yield)();
  };
  const Case cases[] = {{"ZnThreadSwitch()", [] { ZnThreadSwitch(); }},
                        {"ZnThreadSwitchWithDelay(0)", [] { ZnThreadSwitchWithDelay(0); }},
                        {"ZnSleep(0)", [] { ZnSleep(0); }}};
  const unsigned long online = OnlineProcessors();
  ASSERT_GE(online, 1ul);
  EXPECT_EQ(ZnGetNumberOfProcessors(), online);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    RunInChild([&] {
      ASSERT_TRUE(PinToOneProcessor());
      EXPECT_EQ(ZnGetNumberOfProcessors(), online);
      std::atomic<bool> go{false}, done{false};
      std::thread other([&] {  // spins, never yielding, until told
        while (!go.load(std::memory_order_relaxed)) {
        }
        done = true;
      });
      long rounds = 0;
      go = true;
      for (; !done.load(std::memory_order_relaxed); ++rounds) c.yield();
      other.join();
      EXPECT_LT(rounds, 1000);
    });
  }
}

}  // namespace

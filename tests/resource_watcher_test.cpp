// Resource watchers: results, the gate, waking every waiter at zero, and
// unmatched decrements.
#include "re5zor4/resource_watcher.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/condition.h"
#include "support/test_support.h"
#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;
using re5zor4_test::AssertCapture;

constexpr int kClosedDrained = INT_MIN;  // lock bit set, count 0

template <class Watcher>
int ValueOf(Watcher& w) {
  const int value = w.condition->Lock();
  w.condition->Unlock();
  return value;
}

template <class Watcher>
void SetValue(Watcher& w, int value) {
  w.condition->Lock();
  w.condition->value = value;
  w.condition->Unlock();
}

// Runs WaitForZero on its own thread and records the result.
template <class Watcher>
class Waiter {
 public:
  explicit Waiter(Watcher* w)
      : thread_([this, w] {
          tid_.store(Gettid());
          started_.CountDown();
          result_.store(w->WaitForZero(0));
          done_.store(true);
          finished_.CountDown();
        }) {}
  ~Waiter() {
    if (thread_.joinable()) thread_.join();
  }
  // Returns once the waiter is blocked inside WaitForZero.
  bool Blocked() { return started_.Wait() && WaitUntilAsleep(tid_.load()) && !done_.load(); }
  bool Finish() { return finished_.Wait(); }
  bool Done() const { return done_.load(); }
  int Result() const { return result_.load(); }

 private:
  Latch started_{1};
  Latch finished_{1};
  std::atomic<int> tid_{0};
  std::atomic<bool> done_{false};
  std::atomic<int> result_{12345};
  std::thread thread_;
};

// A short look for a change that must not happen: a waiter that ought to
// stay blocked.
template <class Watcher>
bool StaysBlocked(const Waiter<Watcher>& waiter) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  while (std::chrono::steady_clock::now() < until) {
    if (waiter.Done()) return false;
    std::this_thread::yield();
  }
  return !waiter.Done();
}

// ---------------------------------------------------------------------------
// Results of single operations, one table row per sequence.

enum Op { kInc, kDec, kWait, kReset };
struct Step {
  Op op;
  int result;
  int valueAfter;
};
struct Script {
  const char* what;
  bool lockable;
  std::vector<Step> steps;
};

class WatcherScript : public ::testing::TestWithParam<Script> {};

TEST_P(WatcherScript, ResultsAndValues) {
  const Script& script = GetParam();
  ZnResourceWatcher plain;
  ZnLockableResourceWatcher lockable;
  AssertCapture asserts;
  for (size_t i = 0; i < script.steps.size(); ++i) {
    const Step& step = script.steps[i];
    int result = 0;
    if (script.lockable) {
      switch (step.op) {
        case kInc:
          result = lockable.IncrementCounter();
          break;
        case kDec:
          result = lockable.DecrementCounter();
          break;
        case kWait:
          result = lockable.WaitForZero(0);
          break;
        case kReset:
          result = lockable.Reset();
          break;
      }
      EXPECT_EQ(step.valueAfter, ValueOf(lockable)) << script.what << " step " << i;
    } else {
      switch (step.op) {
        case kInc:
          result = plain.IncrementCounter();
          break;
        case kDec:
          result = plain.DecrementCounter();
          break;
        case kWait:
          result = plain.WaitForZero(0);
          break;
        case kReset:
          break;
      }
      EXPECT_EQ(step.valueAfter, ValueOf(plain)) << script.what << " step " << i;
    }
    EXPECT_EQ(step.result, result) << script.what << " step " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, WatcherScript,
    ::testing::Values(
        Script{
            "plain counts",
            false,
            {{kWait, 0, 0}, {kInc, 1, 1}, {kInc, 2, 2}, {kDec, 1, 1}, {kDec, 0, 0}, {kWait, 0, 0}}},
        Script{"plain unmatched decrement",
               false,
               {{kDec, -1, 0}, {kInc, 1, 1}, {kDec, 0, 0}, {kDec, -1, 0}, {kWait, 0, 0}}},
        Script{"lockable closes at wait",
               true,
               {{kWait, kClosedDrained, kClosedDrained},
                {kInc, -1, kClosedDrained},
                {kReset, 0, 0},
                {kInc, 1, 1},
                {kInc, 2, 2},
                {kDec, 1, 1}}},
        Script{"lockable unmatched decrement",
               true,
               {{kDec, -1, 0},
                {kWait, kClosedDrained, kClosedDrained},
                {kDec, -1, kClosedDrained},
                {kReset, 0, 0},
                {kInc, 1, 1},
                {kDec, 0, 0}}},
        Script{"lockable reset keeps count",
               true,
               {{kInc, 1, 1}, {kReset, 0, 1}, {kInc, 2, 2}, {kDec, 1, 1}}}),
    [](const ::testing::TestParamInfo<Script>& info) {
      std::string name = info.param.what;
      for (char& c : name) {
        if (c == ' ') c = '_';
      }
      return name;
    });

TEST(ResourceWatcher, UnmatchedDecrementIsReportedAndChangesNothing) {
  AssertCapture asserts;
  ZnResourceWatcher plain;
  ZnLockableResourceWatcher lockable;
  EXPECT_EQ(-1, plain.DecrementCounter());
  EXPECT_EQ(-1, lockable.DecrementCounter());
  const auto reports = asserts.Reports();
  ASSERT_EQ(2u, reports.size());
  for (const auto& report : reports) {
    EXPECT_EQ("src\\resource_watcher", report.file);
    EXPECT_FALSE(report.expression.empty());
    EXPECT_GT(report.line, 0);
  }
  // The count can still reach zero: a waiter returns after a balanced pair.
  EXPECT_EQ(1, plain.IncrementCounter());
  EXPECT_EQ(0, plain.DecrementCounter());
  EXPECT_EQ(0, plain.WaitForZero(0));
  EXPECT_EQ(2u, asserts.Reports().size());
}

TEST(ResourceWatcher, IncrementAtMaximumIsRefused) {
  ZnResourceWatcher plain;
  ZnLockableResourceWatcher lockable;
  SetValue(plain, INT_MAX);
  SetValue(lockable, INT_MAX);
  EXPECT_EQ(-1, plain.IncrementCounter());
  EXPECT_EQ(-1, lockable.IncrementCounter());  // would carry into the lock bit
  EXPECT_EQ(INT_MAX, ValueOf(plain));
  EXPECT_EQ(INT_MAX, ValueOf(lockable));
  EXPECT_EQ(INT_MAX - 1, plain.DecrementCounter());
  EXPECT_EQ(INT_MAX - 1, lockable.DecrementCounter());
  // A negative plain value (set by hand) refuses both directions.
  AssertCapture asserts;
  SetValue(plain, -5);
  EXPECT_EQ(-1, plain.IncrementCounter());
  EXPECT_EQ(-1, plain.DecrementCounter());
  EXPECT_EQ(-5, ValueOf(plain));
  EXPECT_EQ(1u, asserts.Reports().size());
  SetValue(plain, 0);
}

// ---------------------------------------------------------------------------
// Waiting.

// Every thread waiting when the count reaches zero returns, not just the one
// that the last decrement's wake-up reaches.
template <class Watcher>
void AllWaitersReturn(int waiters, int count, int expected) {
  Watcher w;
  for (int i = 0; i < count; ++i) ASSERT_EQ(i + 1, w.IncrementCounter());
  std::vector<std::unique_ptr<Waiter<Watcher>>> pool;
  for (int i = 0; i < waiters; ++i) pool.push_back(std::make_unique<Waiter<Watcher>>(&w));
  for (auto& waiter : pool) ASSERT_TRUE(waiter->Blocked());
  for (int i = 0; i < count; ++i) w.DecrementCounter();
  for (auto& waiter : pool) {
    ASSERT_TRUE(waiter->Finish());
    EXPECT_EQ(expected, waiter->Result());
  }
}

TEST(ResourceWatcher, EveryWaiterReturnsAtZero) {
  for (int waiters : {2, 3, 5}) {
    SCOPED_TRACE(waiters);
    AllWaitersReturn<ZnResourceWatcher>(waiters, 3, 0);
  }
}

TEST(LockableResourceWatcher, EveryWaiterReturnsAtZero) {
  for (int waiters : {2, 4}) {
    SCOPED_TRACE(waiters);
    AllWaitersReturn<ZnLockableResourceWatcher>(waiters, 3, kClosedDrained);
  }
}

TEST(LockableResourceWatcher, GateRefusesWhileDrainingAndUntilReset) {
  ZnLockableResourceWatcher w;
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(i, w.IncrementCounter());
  Waiter<ZnLockableResourceWatcher> waiter(&w);
  // The gate closes when the wait begins.
  ASSERT_TRUE(WaitUntil([&] { return (ValueOf(w) & INT_MIN) != 0; }));
  ASSERT_TRUE(waiter.Blocked());
  std::vector<std::thread> latecomers;
  std::atomic<int> refused{0};
  for (int i = 0; i < 4; ++i) {
    latecomers.emplace_back([&] {
      if (w.IncrementCounter() == -1) refused.fetch_add(1);
    });
  }
  for (auto& t : latecomers) t.join();
  EXPECT_EQ(4, refused.load());
  EXPECT_EQ(INT_MIN | 3, ValueOf(w));
  EXPECT_EQ(INT_MIN | 2, w.DecrementCounter());
  EXPECT_EQ(INT_MIN | 1, w.DecrementCounter());
  EXPECT_TRUE(StaysBlocked(waiter));
  EXPECT_EQ(kClosedDrained, w.DecrementCounter());
  ASSERT_TRUE(waiter.Finish());
  EXPECT_EQ(kClosedDrained, waiter.Result());
  EXPECT_EQ(-1, w.IncrementCounter());
  EXPECT_EQ(0, w.Reset());
  EXPECT_EQ(1, w.IncrementCounter());
  EXPECT_EQ(0, w.DecrementCounter());
}

// Users come and go on many threads while the owner drains: once the drain
// returns, nobody is counted and nobody gets in until the reset.
TEST(LockableResourceWatcher, DrainUnderContention) {
  ZnLockableResourceWatcher w;
  for (int cycle = 0; cycle < 20; ++cycle) {
    std::atomic<bool> stop{false};
    std::atomic<int> inside{0};
    std::atomic<int> admitted{0};
    Latch ready(5);
    std::vector<std::thread> users;
    for (int i = 0; i < 4; ++i) {
      users.emplace_back([&] {
        ready.CountDown();
        // A refused user goes away: the gate stays closed until the reset.
        while (!stop.load()) {
          if (w.IncrementCounter() < 0) break;
          inside.fetch_add(1);
          admitted.fetch_add(1);
          inside.fetch_sub(1);
          w.DecrementCounter();
        }
      });
    }
    ready.ArriveAndWait();
    EXPECT_EQ(kClosedDrained, w.WaitForZero(0));
    EXPECT_EQ(0, inside.load());
    const int admittedAtClose = admitted.load();
    EXPECT_EQ(-1, w.IncrementCounter());
    stop.store(true);
    for (auto& t : users) t.join();
    EXPECT_EQ(admittedAtClose, admitted.load());
    EXPECT_EQ(kClosedDrained, ValueOf(w));
    EXPECT_EQ(0, w.Reset());
  }
}

}  // namespace

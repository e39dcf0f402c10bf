// Conditions: counted-event semantics, the joint guard-and-signal wait,
// keepLocked, abandonment of the guard, logic classes and failure reports.
#include "re5zor4/condition.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using re5zor4_test::kBound;
using re5zor4_test::Latch;
using re5zor4_test::WaitUntil;

constexpr std::chrono::milliseconds kShort{100};

TEST(Condition, SetsReleaseSeveralWaitersOneEach) {
  Condition* c = Condition::MakeCondition("several");
  constexpr int kWaiters = 4;
  std::atomic<int> returned{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      EXPECT_GE(c->Wait(0, 0), 1);
      returned++;
    });
  }
  EXPECT_FALSE(WaitUntil([&] { return returned.load() > 0; }, kShort));
  // Each Set wakes one sleeper (or is consumed by the next one to sleep);
  // the value never drops, so every woken waiter finds it ready.
  for (int i = 0; i < kWaiters; ++i) c->Set();
  EXPECT_TRUE(WaitUntil([&] { return returned.load() == kWaiters; }));
  for (auto& w : waiters) w.join();
  EXPECT_EQ(c->value, kWaiters);
  delete c;
}

TEST(Condition, ASignalLeftWithoutWaiterIsConsumedAndTheWaiterWaitsAgain) {
  Condition* c = Condition::MakeCondition("stale");
  c->logic = __ResourceLogic::Instance();
  c->Clear();  // 1
  c->Set();    // 0, signal left over, nobody waits
  c->Clear();  // 1 again: a waiter must not return on the stale signal
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_EQ(c->Wait(0, 0), 0);
    done = true;
  });
  EXPECT_FALSE(WaitUntil([&] { return done.load(); }, kShort));
  c->Set();
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
  waiter.join();
  delete c;
}

TEST(Condition, KeepLockedReturnsHoldingTheGuard) {
  Condition* c = Condition::MakeCondition("keep");
  c->Set();
  ASSERT_EQ(c->Wait(1, 0), 1);
  std::atomic<bool> setDone{false};
  std::thread setter([&] {
    c->Set();
    setDone = true;
  });
  EXPECT_FALSE(WaitUntil([&] { return setDone.load(); }, kShort));
  // The guard is recursive for its holder.
  EXPECT_EQ(c->Lock(), 1);
  EXPECT_EQ(c->Unlock(), 1);
  EXPECT_FALSE(WaitUntil([&] { return setDone.load(); }, kShort));
  c->Unlock();
  EXPECT_TRUE(WaitUntil([&] { return setDone.load(); }));
  setter.join();
  EXPECT_EQ(c->value, 2);
  delete c;
}

TEST(Condition, AbandonedGuardGoesToTheNextWaiterWithAReport) {
  Condition* c = Condition::MakeCondition("abandoned");
  {
    thread_test::DebugTrace quiet(0);
    c->Unlock();  // not held: fails, but without the bit nothing is written
    EXPECT_EQ(quiet.Text(), "");
  }
  thread_test::DebugTrace capture(0x10000);
  Latch locked(1);
  std::thread owner([&] {
    c->Lock();
    locked.CountDown();
    // Ends holding the guard.
  });
  ASSERT_TRUE(locked.Wait());
  owner.join();
  std::atomic<bool> got{false};
  std::thread next([&] {
    c->Lock();
    got = true;
    c->Unlock();
  });
  EXPECT_TRUE(WaitUntil([&] { return got.load(); }));
  next.join();
  EXPECT_EQ(capture.Text(), "WaitForSingleObject abandoned\n");
  // Handed over once: the next owner sees a normal guard.
  c->Lock();
  c->Unlock();
  EXPECT_EQ(capture.Text(), "WaitForSingleObject abandoned\n");
  delete c;
}

// Set and Clear return the new value; a negative value refuses Clear, and
// the default logic then doesn't wait. The status line is bounded.
TEST(Condition, CountedEventArithmeticAndStatusLine) {
  Condition* c = Condition::MakeCondition("arith");
  EXPECT_EQ(c->Set(), 1);
  EXPECT_EQ(c->Clear(), 0);
  EXPECT_EQ(c->Clear(), -1);
  EXPECT_EQ(c->Clear(), -1);
  EXPECT_EQ(c->value, -1);
  EXPECT_EQ(c->Wait(0, 0), -1);
  char buffer[16] = "###############";
  c->GetInfo(buffer, 5);
  EXPECT_STREQ(buffer, "cond");
  EXPECT_EQ(buffer[5], '#');
  c->GetInfo(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "cond-val: -1");
  c->GetInfo(nullptr, 256);
  delete c;
}

TEST(ConditionLogic, TableOfOperations) {
  struct Case {
    const char* name;
    ConditionLogic* logic;
    int start;
    int afterSet;
    int afterClear;
    int keepWaiting;
  };
  const Case cases[] = {
      {"default at 0", ConditionLogic::Instance(), 0, 1, -1, 1},
      {"default at 3", ConditionLogic::Instance(), 3, 4, 2, 0},
      {"reader at 0", ReaderCounter::Instance(), 0, -1, 1, 0},
      {"reader at 2", ReaderCounter::Instance(), 2, 1, 3, 1},
      {"resource at 1", __ResourceLogic::Instance(), 1, 0, 2, 1},
      {"lockable open", __LockableResourceLogic::Instance(), 2, 1, 3, 1},
      {"lockable closed", __LockableResourceLogic::Instance(), INT_MIN + 2, INT_MIN + 1,
       INT_MIN + 3, 1},
      {"lockable closed at 0", __LockableResourceLogic::Instance(), INT_MIN, -1, INT_MIN + 1, 0},
      {"lockable wraps from 0x7FFFFFFF", __LockableResourceLogic::Instance(), INT_MAX, INT_MAX - 1,
       INT_MIN, 1},
  };
  for (const Case& c : cases) {
    int v = c.start;
    c.logic->SafeSet(&v);
    EXPECT_EQ(v, c.afterSet) << c.name;
    v = c.start;
    c.logic->SafeClear(&v);
    EXPECT_EQ(v, c.afterClear) << c.name;
    v = c.start;
    EXPECT_EQ(c.logic->SafeTest(&v) != 0, c.keepWaiting != 0) << c.name;
  }
}

// A logic whose test says "keep waiting" a given number of times, counting
// the tests made.
struct CountdownLogic : ConditionLogic {
  explicit CountdownLogic(int waits) : waits(waits) {}
  int SafeTest(int*) override { return tests++ < waits; }
  int waits, tests = 0;
};

// The base class guards nothing and wakes nobody: Set and Clear apply the
// logic as it is (a negative value refuses nothing), Wait keeps testing until
// the test passes, both arguments ignored, and Lock and Unlock only read.
TEST(ConditionBase, AppliesItsLogicUnguarded) {
  Condition c("base");
  EXPECT_EQ(c.logic, ConditionLogic::Instance());
  EXPECT_EQ(c.value, 0);
  // Each step: an operation ('S'et, 'C'lear, 'W'ait, 'K' wait keeping the
  // guard, 'L'ock, 'U'nlock) and the value it must return.
  const std::pair<ConditionLogic*, const char*> runs[] = {
      {ConditionLogic::Instance(), "S1 S2 C1 C0 C-1 C-2 W-2 K-2 L-2 L-2 U-2 U-2 U-2 S-1"},
      {ReaderCounter::Instance(), "C0 C1 S0 W0 S-1 C0"},
      {__ResourceLogic::Instance(), "C1 C2 S1 S0 W0"}};
  for (const auto& [logic, steps] : runs) {
    c.logic = logic;
    std::istringstream in(steps);
    for (std::string step; in >> step;) {
      const int expected = std::stoi(step.substr(1));
      const int got = step[0] == 'S'   ? c.Set()
                      : step[0] == 'C' ? c.Clear()
                      : step[0] == 'W' ? c.Wait(0, 0)
                      : step[0] == 'K' ? c.Wait(1, 0xFFFFFFFF)
                      : step[0] == 'L' ? c.Lock()
                                       : c.Unlock();
      EXPECT_EQ(got, expected) << steps << ": " << step;
    }
  }
  CountdownLogic countdown(3);
  c.logic = &countdown;
  c.value = 7;
  EXPECT_EQ(c.Wait(0, 1), 7);
  EXPECT_EQ(countdown.tests, 4);
  c.value = -12;
  char line[16] = "###############";
  c.GetInfo(line, 6);
  EXPECT_EQ(std::string(line, sizeof line), std::string("cond-\0#########\0", 16));
  c.GetInfo(line, sizeof line);
  EXPECT_STREQ(line, "cond-val: -12");
  c.GetInfo(nullptr, 256);
  c.logic = ConditionLogic::Instance();
}

}  // namespace

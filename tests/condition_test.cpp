// Conditions: counted-event semantics, the joint guard-and-signal wait,
// keepLocked, abandonment of the guard, logic classes and failure reports.
#include "re5zor4/condition.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/smp_debug.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using re5zor4_test::kBound;
using re5zor4_test::Latch;
using re5zor4_test::WaitUntil;

constexpr std::chrono::milliseconds kShort{100};

TEST(Condition, WaitBlocksUntilSetAndReturnsTheValue) {
  Condition* c = Condition::MakeCondition("wait");
  std::atomic<int> result{INT_MIN};
  std::thread waiter([&] { result = c->Wait(0, 0xFFFFFFFF); });
  EXPECT_FALSE(WaitUntil([&] { return result.load() != INT_MIN; }, kShort));
  c->Set();
  EXPECT_TRUE(WaitUntil([&] { return result.load() != INT_MIN; }));
  waiter.join();
  EXPECT_EQ(result.load(), 1);
  delete c;
}

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
  smp_debug* debugger = GetDebugger();
  ASSERT_NE(debugger, nullptr);
  const long savedLevel = debugger->level.load();
  re5zor4_test::SinkSwap capture(debugger);
  debugger->level = 0;
  c->Unlock();  // not held: fails, but without the bit nothing is written
  EXPECT_EQ(capture.sink().Text(), "");
  debugger->level = 0x10000;
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
  EXPECT_EQ(capture.sink().Text(), "WaitForSingleObject abandoned\n");
  // Handed over once: the next owner sees a normal guard.
  c->Lock();
  c->Unlock();
  EXPECT_EQ(capture.sink().Text(), "WaitForSingleObject abandoned\n");
  debugger->level = savedLevel;
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

}  // namespace

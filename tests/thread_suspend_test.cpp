// Suspend and resume: a suspended thread makes no progress until it is
// continued, whatever it was doing. Kept apart from the other thread tests:
// under ThreadSanitizer the suspend signal is not delivered to a thread
// blocked in a lock, so this program is not run there.
#include <atomic>
#include <chrono>
#include <thread>

#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/schedule.h"
#include "re5zor4/znthread.h"
#include "support/test_support.h"
#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;

// True when value keeps reading `expected` for the whole window: the thread
// that would change it makes no progress.
template <class T>
bool StaysAt(const std::atomic<T>& value, T expected, int ms = 100) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (value.load() != expected) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return value.load() == expected;
}

enum class Task {
  kSpin,           // count without any system call
  kSpinAndGiveup,  // count and Giveup (a cancellation point)
  kConditionWait,  // wait on cond, then mark passed
  kSleep,          // sleep 200 ms, then mark passed
  kSuspendSelf,    // suspend itself, then mark passed
};

struct Control {
  Task mode = Task::kSpin;
  Condition* cond = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<long> count{0};
  std::atomic<bool> passed{false};
  std::atomic<int> tid{0};
  std::atomic<int> selfSuspendResult{-1};
  Latch inWork{1};
  Latch ended{1};
};

class Worker : public Thread {
 public:
  Worker() : Thread("worker", "tag", 0) {}
  int Work(void* arg) override {
    Control* c = static_cast<Control*>(arg);
    EndSignal end{&c->ended};
    c->tid.store(Gettid());
    c->inWork.CountDown();
    switch (c->mode) {
      case Task::kSpin:
        while (!c->stop.load(std::memory_order_relaxed)) {
          c->count.fetch_add(1, std::memory_order_relaxed);
        }
        break;
      case Task::kSpinAndGiveup:
        while (!c->stop.load(std::memory_order_relaxed)) {
          c->count.fetch_add(1, std::memory_order_relaxed);
          Giveup();
        }
        break;
      case Task::kConditionWait:
        c->cond->Wait(0, 0xFFFFFFFFul);
        c->passed.store(true);
        break;
      case Task::kSleep:
        ZnThreadSwitchWithDelay(200);
        c->passed.store(true);
        break;
      case Task::kSuspendSelf:
        c->selfSuspendResult.store(Suspend());
        c->passed.store(true);
        break;
    }
    return 0;
  }
};

class SuspendTest : public ::testing::Test {
 protected:
  void StartWorker(Task mode) {
    control.mode = mode;
    worker.resources = &watcher;
    ASSERT_EQ(0, worker.Start(&control));
    ASSERT_TRUE(control.inWork.Wait());
  }
  void Finish() {
    control.stop.store(true);
    EXPECT_EQ(0, watcher.WaitForZero(0));
    EXPECT_EQ(Thread::kFinished, worker.status.load());
  }
  bool Progressing() {
    const long seen = control.count.load();
    return WaitUntil([&] { return control.count.load() > seen; });
  }

  ZnResourceWatcher watcher;
  Control control;
  Worker worker;
};

TEST_F(SuspendTest, SuspendedThreadMakesNoProgress) {
  StartWorker(Task::kSpin);
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(Progressing());
    ASSERT_EQ(0, worker.Suspend());
    EXPECT_EQ(Thread::kSuspended, worker.status.load());
    EXPECT_TRUE(StaysAt(control.count, control.count.load())) << "round " << round;
    ASSERT_EQ(0, worker.Continue());
    EXPECT_EQ(Thread::kRunning, worker.status.load());
    EXPECT_TRUE(Progressing()) << "round " << round;
  }
  Finish();
}

TEST_F(SuspendTest, SuspensionsAreCounted) {
  StartWorker(Task::kSpin);
  ASSERT_TRUE(Progressing());
  ASSERT_EQ(0, worker.Suspend());
  ASSERT_EQ(0, worker.Block(nullptr));  // Block is another Suspend
  EXPECT_EQ(Thread::kSuspended, worker.status.load());
  ASSERT_EQ(0, worker.Continue());
  EXPECT_TRUE(StaysAt(control.count, control.count.load()));
  ASSERT_EQ(0, worker.Continue());
  EXPECT_TRUE(Progressing());
  // A Continue with nothing suspended changes nothing.
  EXPECT_EQ(0, worker.Continue());
  EXPECT_EQ(Thread::kRunning, worker.status.load());
  Finish();
}

// A thread suspended in a condition wait does not return from it while
// suspended, even though the condition is set.
TEST_F(SuspendTest, SuspendedInConditionWait) {
  control.cond = Condition::MakeCondition("suspend cond");
  StartWorker(Task::kConditionWait);
  ASSERT_TRUE(WaitUntilAsleep(control.tid.load()));
  ASSERT_EQ(0, worker.Suspend());
  EXPECT_EQ(1, control.cond->Set());
  EXPECT_TRUE(StaysAt(control.passed, false));
  ASSERT_EQ(0, worker.Continue());
  EXPECT_TRUE(WaitUntil([&] { return control.passed.load(); }));
  Finish();
  delete control.cond;
}

// A sleep that ends while the thread is suspended does not let it run; the
// interrupted sleep is completed after Continue.
TEST_F(SuspendTest, SuspendedWhileSleeping) {
  StartWorker(Task::kSleep);
  ASSERT_EQ(0, worker.Suspend());
  EXPECT_TRUE(StaysAt(control.passed, false, 400));
  ASSERT_EQ(0, worker.Continue());
  EXPECT_TRUE(WaitUntil([&] { return control.passed.load(); }));
  Finish();
}

TEST_F(SuspendTest, ThreadSuspendsItself) {
  StartWorker(Task::kSuspendSelf);
  ASSERT_TRUE(WaitUntil([&] { return worker.status.load() == Thread::kSuspended; }));
  ASSERT_TRUE(WaitUntilAsleep(control.tid.load()));
  EXPECT_TRUE(StaysAt(control.passed, false));
  ASSERT_EQ(0, worker.Continue());
  EXPECT_TRUE(WaitUntil([&] { return control.passed.load(); }));
  EXPECT_EQ(0, control.selfSuspendResult.load());
  Finish();
}

// The resumed thread may finish before Continue returns: its finished
// stands, and the Thread can be started again.
TEST(SuspendRace, ContinueNeverHidesTheEnd) {
  ZnResourceWatcher w;
  Worker worker;
  worker.resources = &w;
  for (int round = 0; round < 30; ++round) {
    Control control;
    control.mode = Task::kSuspendSelf;
    ASSERT_EQ(0, worker.Start(&control)) << round;
    ASSERT_TRUE(control.inWork.Wait());
    ASSERT_TRUE(WaitUntil([&] { return worker.status.load() == Thread::kSuspended; }));
    ASSERT_TRUE(WaitUntilAsleep(control.tid.load()));
    ASSERT_EQ(0, worker.Continue());
    EXPECT_EQ(0, w.WaitForZero(0));
    EXPECT_EQ(Thread::kFinished, worker.status.load()) << round;
  }
}

// Abort resumes a suspended thread so that it reaches a cancellation point.
TEST_F(SuspendTest, AbortSuspendedThread) {
  StartWorker(Task::kSpinAndGiveup);
  ASSERT_TRUE(Progressing());
  ASSERT_EQ(0, worker.Suspend());
  EXPECT_EQ(0, worker.Abort());
  ASSERT_TRUE(control.ended.Wait());
  EXPECT_EQ(Thread::kAborted, worker.status.load());
  EXPECT_EQ(0, watcher.DecrementCounter());  // the aborted run never counted down
}

}  // namespace

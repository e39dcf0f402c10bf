// Abort: a running thread, a thread blocked in a condition wait or asleep,
// one holding a condition's guard, one aborting itself; the rest of the
// trampoline does not run; restart after an abort; deleting a running Thread.
//
// Not run under ThreadSanitizer: it does not follow a thread cancelled inside
// a blocking call (the lock operations of the unwinding thread go unseen),
// and reports races that are not there.
#include <atomic>
#include <string>

#include "re5zor4/condition.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/znthread.h"
#include "support/test_support.h"
#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;

constexpr long kMethodTrace = 0x800000;
constexpr long kConditionErrors = 0x10000;

// ---------------------------------------------------------------------------
// Abort.

struct AbortCase {
  const char* what;
  Mode mode;
};

class ThreadAbort : public ::testing::TestWithParam<AbortCase> {};

// Abort ends the thread wherever this library lets it wait; the rest of the
// trampoline does not run: no Cleanup, no count-down.
TEST_P(ThreadAbort, EndsTheThread) {
  ZnResourceWatcher w;
  Condition* cond = Condition::MakeCondition("abort target");
  CountingSync sync;
  Probe probe;
  probe.mode = GetParam().mode;
  probe.cond = cond;
  Recorder t("victim");
  t.resources = &w;
  t.syncObj = &sync;
  ASSERT_EQ(0, t.Start(&probe));
  ASSERT_TRUE(probe.inWork.Wait());
  if (probe.mode == Mode::kSpin) {
    ASSERT_TRUE(WaitUntil([&] { return probe.spins.load() > 100; }));
  } else if (probe.mode != Mode::kSelfAbort) {
    ASSERT_TRUE(WaitUntilAsleep(probe.tid.load()));
  }
  if (probe.mode != Mode::kSelfAbort) {
    EXPECT_EQ(0, t.Abort());
  }
  ASSERT_TRUE(probe.ended.Wait());
  EXPECT_EQ(Thread::kAborted, t.status.load());
  EXPECT_EQ("IW", probe.Calls());
  EXPECT_EQ(1, WatcherValue(w));
  EXPECT_EQ(1, sync.releases.load());
  EXPECT_EQ(nullptr, t.syncObj);
  // Nothing of the condition stays held: its guard is free (or handed over).
  EXPECT_TRUE(FinishesInTime([cond] {
    cond->Lock();
    cond->Unlock();
  }));
  EXPECT_EQ(1, cond->Set());
  EXPECT_EQ(0, w.DecrementCounter());
  delete cond;
}

INSTANTIATE_TEST_SUITE_P(Where, ThreadAbort,
                         ::testing::Values(AbortCase{"Running", Mode::kSpin},
                                           AbortCase{"InConditionWait", Mode::kConditionWait},
                                           AbortCase{"InSleep", Mode::kSleep},
                                           AbortCase{"HoldingGuard", Mode::kHoldAndSleep},
                                           AbortCase{"Itself", Mode::kSelfAbort}),
                         [](const ::testing::TestParamInfo<AbortCase>& info) {
                           return info.param.what;
                         });

// A guard held by an aborted thread passes to the next thread as abandoned.
TEST(ThreadAbortGuard, HeldGuardIsHandedOverAbandoned) {
  Condition* cond = Condition::MakeCondition("held");
  Probe probe;
  probe.mode = Mode::kHoldAndSleep;
  probe.cond = cond;
  Recorder t("holder");
  ASSERT_EQ(0, t.Start(&probe));
  ASSERT_TRUE(probe.inWork.Wait());
  ASSERT_TRUE(WaitUntilAsleep(probe.tid.load()));
  t.Abort();
  ASSERT_TRUE(probe.ended.Wait());
  {
    DebugTrace trace(kConditionErrors);
    EXPECT_TRUE(FinishesInTime([cond] {
      cond->Lock();
      cond->Unlock();
    }));
    EXPECT_NE(std::string::npos, trace.Text().find("WaitForSingleObject abandoned\n"))
        << trace.Text();
  }
  delete cond;
}

TEST(Thread, RestartAfterAbort) {
  ZnResourceWatcher w;
  Probe sleeper;
  sleeper.mode = Mode::kSleep;
  Recorder t("phoenix");
  t.resources = &w;
  ASSERT_EQ(0, t.Start(&sleeper));
  ASSERT_TRUE(sleeper.inWork.Wait());
  t.Abort();
  ASSERT_TRUE(sleeper.ended.Wait());
  ASSERT_EQ(Thread::kAborted, t.status.load());
  EXPECT_EQ(0, w.DecrementCounter());  // the aborted run never counted down

  Probe normal;
  normal.workResult = 5;
  ASSERT_EQ(0, t.Start(&normal));
  EXPECT_EQ(0, w.WaitForZero(0));
  EXPECT_EQ(Thread::kFinished, t.status.load());
  EXPECT_EQ(5, t.result);
  EXPECT_EQ("IWC", normal.Calls());
}

// Deleting a running Thread aborts its OS thread and force-releases syncObj.
TEST(Thread, DeletingRunningThreadAbortsIt) {
  ZnResourceWatcher w;
  Condition* cond = Condition::MakeCondition("never set");
  CountingSync sync;
  std::atomic<int> destroyed{0};
  Probe probe;
  probe.mode = Mode::kConditionWait;
  probe.cond = cond;
  auto* t = new Recorder("doomed", 0, &destroyed);
  t->resources = &w;
  t->syncObj = &sync;
  ASSERT_EQ(0, t->Start(&probe));
  ASSERT_TRUE(probe.inWork.Wait());
  ASSERT_TRUE(WaitUntilAsleep(probe.tid.load()));
  const std::string address = Addr(t);
  {
    DebugTrace trace(kMethodTrace);
    delete t;
    EXPECT_EQ("Thread::Abort " + address + "\n", trace.Text());
  }
  ASSERT_TRUE(probe.ended.Wait());
  EXPECT_EQ(1, destroyed.load());
  EXPECT_EQ(1, sync.releases.load());
  EXPECT_EQ("IW", probe.Calls());
  EXPECT_EQ(1, WatcherValue(w));
  EXPECT_EQ(0, w.DecrementCounter());
  delete cond;
}

}  // namespace

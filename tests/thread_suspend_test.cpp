// Suspend and resume: a suspended thread makes no progress until continued,
// whatever it was doing. Not run under ThreadSanitizer: the suspend signal
// is not delivered there to a thread blocked in a lock.
#include <chrono>

#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;

// True when value keeps reading `expected` for the whole window.
template <class T>
bool StaysAt(const std::atomic<T>& value, T expected, int ms = 100) {
  return !WaitUntil([&] { return value != expected; }, std::chrono::milliseconds(ms));
}

// A Recorder running `mode`; at the end it is let go and must finish.
struct Worker {
  explicit Worker(Mode mode) {
    p.mode = mode;
    p.cond = cond.get();
    t.resources = &w;
    EXPECT_EQ(0, t.Start(&p));
    EXPECT_TRUE(p.inWork.Wait());
  }
  ~Worker() {
    p.stop = true;
    EXPECT_TRUE(WaitUntil([&] { return WatcherValue(w) == 0; }));
    EXPECT_EQ(Thread::kFinished, t.status.load());
  }
  bool Progressing() {
    const long seen = p.count;
    return WaitUntil([&] { return p.count > seen; });
  }
  ZnResourceWatcher w;
  std::unique_ptr<Condition> cond{Condition::MakeCondition("suspend")};
  Probe p;
  Recorder t{"worker"};
};

// A loop without system calls stops too; suspensions are counted (Block is
// one more), and a Continue with none left changes nothing. Start is refused
// while suspended: no new run, the same platform object.
TEST(Suspend, StopsProgressUntilTheLastContinue) {
  Probe other;
  Worker k(Mode::kSpin);
  _Thread* const os = k.t.osThread;
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(k.Progressing());
    ASSERT_EQ(0, k.t.Suspend());
    ASSERT_EQ(0, k.t.Block(nullptr));
    EXPECT_EQ(0, k.t.Start(&other));
    EXPECT_EQ(Thread::kSuspended, k.t.status.load());
    EXPECT_TRUE(k.t.osThread == os && k.t.startArg == &k.p);
    EXPECT_TRUE(StaysAt(k.p.count, k.p.count.load()));
    ASSERT_EQ(0, k.t.Continue());
    EXPECT_TRUE(StaysAt(k.p.count, k.p.count.load()));
    ASSERT_EQ(0, k.t.Continue());
    EXPECT_EQ(Thread::kRunning, k.t.status.load());
    EXPECT_TRUE(k.Progressing()) << round;
  }
  EXPECT_EQ(0, k.t.Continue());
  EXPECT_TRUE(k.Progressing());
  EXPECT_EQ("", other.calls);
}

// A condition set, a sleep ending, or a thread suspending itself: the thread
// does not get past its wait until continued.
TEST(Suspend, BlockedThreadStaysUntilContinued) {
  for (Mode mode : {Mode::kWait, Mode::kSleep, Mode::kSelfSuspend}) {
    Worker k(mode);
    ASSERT_TRUE(WaitUntilAsleep(k.p.tid));
    EXPECT_EQ(0, mode == Mode::kSelfSuspend ? 0 : k.t.Suspend());
    EXPECT_EQ(Thread::kSuspended, k.t.status.load());
    EXPECT_EQ(1, k.cond->Set());
    EXPECT_TRUE(StaysAt(k.p.passed, false, 500));
    ASSERT_EQ(0, k.t.Continue());
    EXPECT_TRUE(WaitUntil([&] { return k.p.passed.load(); }));
  }
}

// The resumed thread may finish before Continue returns: its finished
// stands, so that the Thread can be started again.
TEST(Suspend, ContinueNeverHidesTheEnd) {
  for (int round = 0; round < 30; ++round) {
    Worker k(Mode::kSelfSuspend);
    ASSERT_TRUE(WaitUntilAsleep(k.p.tid));
    ASSERT_EQ(0, k.t.Continue());
  }
}

}  // namespace

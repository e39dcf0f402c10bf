// Platform thread objects: the base class's status keeping, Win32Thread's
// results, status changes and failure lines, and the release of OS threads.
#include "re5zor4/os_thread.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>

#include "re5zor4/resource_watcher.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/znthread.h"
#include "support/test_support.h"
#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;

constexpr long kThreadTrace = 0x100;

long VmSizeKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
  }
  return -1;
}

// Records the OS thread it ran on.
class TidThread : public Thread {
 public:
  TidThread() : Thread("tid", "tag", 0) {}
  int Work(void*) override {
    tid.store(Gettid());
    return 0;
  }
  std::atomic<int> tid{0};
};

// Makes every pthread_create without attributes fail (the default stack
// cannot be mapped) for the object's life.
class ThreadCreationFails {
 public:
  ThreadCreationFails() {
    pthread_getattr_default_np(&saved_);
    pthread_attr_t huge;
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, static_cast<size_t>(1) << 47);
    pthread_setattr_default_np(&huge);
    pthread_attr_destroy(&huge);
  }
  ~ThreadCreationFails() {
    pthread_setattr_default_np(&saved_);
    pthread_attr_destroy(&saved_);
  }

 private:
  pthread_attr_t saved_;
};

// ---------------------------------------------------------------------------

TEST(BaseThread, KeepsTheStatusOnly) {
  Thread t("served", "tag", 0);
  _Thread base(&t);
  EXPECT_EQ(&t, base.thread);
  EXPECT_EQ(0, base.Start());
  EXPECT_EQ(Thread::kCreated, t.status.load());
  EXPECT_EQ(0, base.Suspend());
  EXPECT_EQ(Thread::kSuspended, t.status.load());
  EXPECT_EQ(0, base.Continue());
  EXPECT_EQ(Thread::kRunning, t.status.load());
  EXPECT_EQ(0, base.Giveup());
  EXPECT_EQ(Thread::kRunning, t.status.load());
  EXPECT_EQ(0, base.Abort());
  EXPECT_EQ(Thread::kAborted, t.status.load());
  int x = 0;
  EXPECT_EQ(-2999, base.GetOSThreadInfo(nullptr, nullptr, nullptr));
  EXPECT_EQ(-2999, base.GetOSThreadInfo(&x, &t, &base));
  t.status.store(Thread::kCreated);
}

// Operations on a Win32Thread without an OS thread fail with ESRCH, set the
// status to failed and write their line only under the thread trace bit.
struct NoThreadCase {
  const char* what;
  int (Win32Thread::*op)();
  const char* line;  // the text before the handle
};

class Win32ThreadWithoutThread : public ::testing::TestWithParam<NoThreadCase> {};

TEST_P(Win32ThreadWithoutThread, FailsWithLine) {
  const NoThreadCase& c = GetParam();
  for (long level : {0L, kThreadTrace, 0x800000L | 0x10000L}) {
    SCOPED_TRACE(level);
    Thread t("nothing", "tag", 0);
    Win32Thread os(&t);
    DebugTrace trace(level);
    EXPECT_EQ(ESRCH, (os.*c.op)());
    EXPECT_EQ(Thread::kFailed, t.status.load());
    EXPECT_EQ(static_cast<unsigned long>(ESRCH), os.lastError);
    const std::string expected =
        (level & kThreadTrace) != 0 ? std::string(c.line) + "0x0 (3)\n" : std::string();
    EXPECT_EQ(expected, trace.Text());
    t.status.store(Thread::kCreated);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ops, Win32ThreadWithoutThread,
    ::testing::Values(NoThreadCase{"Abort", &Win32Thread::Abort, "Couldn't terminate thread "},
                      NoThreadCase{"Suspend", &Win32Thread::Suspend, "Couldn't suspend thread "},
                      NoThreadCase{"Continue", &Win32Thread::Continue, "Couldn't resume thread "}),
    [](const ::testing::TestParamInfo<NoThreadCase>& info) { return info.param.what; });

TEST(Win32Thread, CreationFailure) {
  Thread t("unborn", "tag", 0);
  {
    ThreadCreationFails fail;
    DebugTrace trace(kThreadTrace);
    EXPECT_EQ(EAGAIN, t.Start(nullptr));
    EXPECT_EQ("Couldn't create thread (11)\n", trace.Text());
  }
  EXPECT_EQ(Thread::kFailed, t.status.load());
  auto* os = dynamic_cast<Win32Thread*>(t.osThread);
  ASSERT_NE(nullptr, os);
  EXPECT_EQ(static_cast<unsigned long>(EAGAIN), os->lastError);
  EXPECT_EQ(nullptr, os->handle);
  EXPECT_EQ(0, os->startState);
  // A failed Thread refuses Start; its platform object can start again.
  EXPECT_EQ(0, t.Start(nullptr));
  EXPECT_EQ(os, t.osThread);
  ZnResourceWatcher w;
  t.resources = &w;
  EXPECT_EQ(0, os->Start());
  EXPECT_NE(nullptr, os->handle);
  EXPECT_EQ(0, w.WaitForZero(0));
  EXPECT_EQ(Thread::kFinished, t.status.load());
}

// On a thread whose run is over: Continue has nothing to resume and leaves
// the status; Suspend fails; Abort has nothing to end.
TEST(Win32Thread, ControlAfterTheRun) {
  ZnResourceWatcher w;
  TidThread t;
  t.resources = &w;
  ASSERT_EQ(0, t.Start(nullptr));
  ASSERT_EQ(0, w.WaitForZero(0));
  ASSERT_TRUE(WaitUntil([&] { return !TaskExists(t.tid.load()); }));
  auto* os = dynamic_cast<Win32Thread*>(t.osThread);
  ASSERT_NE(nullptr, os);

  DebugTrace trace(kThreadTrace);
  EXPECT_EQ(0, t.Continue());
  EXPECT_EQ(Thread::kFinished, t.status.load());  // a run that is over stays over
  EXPECT_EQ(ESRCH, t.Suspend());
  EXPECT_EQ(Thread::kFailed, t.status.load());
  EXPECT_EQ("Couldn't suspend thread " + Addr(os->handle) + " (3)\n", trace.Text());
  EXPECT_EQ(0, t.Abort());
  EXPECT_EQ(Thread::kAborted, t.status.load());
  // Aborted: Start is accepted again.
  ASSERT_EQ(0, t.Start(nullptr));
  EXPECT_EQ(0, w.WaitForZero(0));
  EXPECT_EQ(Thread::kFinished, t.status.load());
}

// Each start's OS thread is given back (joined or detached) when its
// Win32Thread goes: many runs leave no thread stacks behind.
TEST(Win32Thread, NoThreadIsLeft) {
  ZnResourceWatcher w;
  constexpr int kRuns = 64;
  const long before = VmSizeKb();
  ASSERT_GT(before, 0);
  int lastTid = 0;
  for (int i = 0; i < kRuns; ++i) {
    auto t = std::make_unique<TidThread>();
    t->resources = &w;
    ASSERT_EQ(0, t->Start(nullptr));
    ASSERT_EQ(0, w.WaitForZero(0));
    lastTid = t->tid.load();
  }
  ASSERT_TRUE(WaitUntil([&] { return !TaskExists(lastTid); }));
  // An unjoined thread keeps its 8 MiB stack mapped.
  EXPECT_LT(VmSizeKb() - before, 16L * 8 * 1024) << "before " << before;
}

}  // namespace

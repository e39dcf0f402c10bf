// Thread objects and the trampoline: life cycle, restart, the watcher
// hand-over, and the trace lines byte for byte. Abort is tested in
// thread_abort_test.cpp, suspend and resume in thread_suspend_test.cpp.
#include "re5zor4/znthread.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "re5zor4/os_thread.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/smp_debug.h"
#include "support/test_support.h"
#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;
using re5zor4_test::AssertCapture;

constexpr long kThreadTrace = 0x100;
constexpr long kMethodTrace = 0x800000;

// ---------------------------------------------------------------------------
// Before any start.

TEST(Thread, ConstructedIdle) {
  static const char kName[] = "idle";
  Thread t(kName, "tag", 0);
  EXPECT_EQ(Thread::kCreated, t.status.load());
  EXPECT_EQ(nullptr, t.osThread);
  EXPECT_EQ(kName, t.name);  // kept, not copied
  CountingSync sync;
  for (int (Thread::*op)() :
       {&Thread::Suspend, &Thread::Giveup, &Thread::Continue, &Thread::Abort}) {
    EXPECT_EQ(0, (t.*op)());
  }
  EXPECT_EQ(0, t.Block(&sync));
  EXPECT_EQ(-1, t.GetOSThreadInfo(nullptr, nullptr, nullptr));
  EXPECT_EQ(Thread::kCreated, t.status.load());
  EXPECT_EQ(0, sync.releases.load());
}

TEST(Thread, WaitForThreadExitIsReported) {
  AssertCapture asserts;
  Thread t("exit", "tag", 0);
  EXPECT_EQ(0, t.WaitForThreadExit(1000));
  const auto reports = asserts.Reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("0", reports[0].expression);
  EXPECT_EQ("src\\znthread", reports[0].file);
  EXPECT_EQ(201, reports[0].line);
}

TEST(CmdObj, BaseProcessCmd) {
  CmdObj base;
  EXPECT_EQ(-2, base.ProcessCmd(nullptr));
}

// ---------------------------------------------------------------------------
// Runs.

class ThreadResult : public ::testing::TestWithParam<int> {};

TEST_P(ThreadResult, RunRecordsResultStatusAndSteps) {
  ZnResourceWatcher w;
  Probe probe;
  probe.workResult = GetParam();
  Recorder t("result");
  t.resources = &w;
  ASSERT_EQ(0, t.Start(&probe));
  EXPECT_EQ(0, w.WaitForZero(0));
  EXPECT_EQ(Thread::kFinished, t.status.load());
  EXPECT_EQ(GetParam(), t.result);
  EXPECT_EQ(&probe, t.startArg);
  EXPECT_EQ("IWC", probe.Calls());
  for (void* arg : probe.args) EXPECT_EQ(&probe, arg);
  EXPECT_EQ(-2999, t.GetOSThreadInfo(nullptr, &probe, &w));
}

INSTANTIATE_TEST_SUITE_P(Values, ThreadResult, ::testing::Values(42, 0, -1, INT_MIN, INT_MAX));

TEST(Thread, FourArgumentConstructorStartsAtOnce) {
  int token = 0;
  Thread t("four", &token, "tag", 0);
  EXPECT_NE(nullptr, t.osThread);
  EXPECT_EQ(&token, t.startArg);
  EXPECT_TRUE(WaitUntil([&] { return t.status.load() == Thread::kFinished; }));
  EXPECT_EQ(0, t.result);
}

// When Start returns, the thread runs and its watcher is counted: a
// WaitForZero called right after it waits for the thread.
TEST(Thread, WatcherCountedBeforeStartReturns) {
  ZnResourceWatcher w;
  for (int round = 0; round < 25; ++round) {
    Latch gate(1);
    Probe probe;
    probe.mode = Mode::kGate;
    probe.gate = &gate;
    Recorder t("counted");
    t.resources = &w;
    ASSERT_EQ(0, t.Start(&probe));
    EXPECT_EQ(1, WatcherValue(w)) << "round " << round;
    EXPECT_EQ(Thread::kRunning, t.status.load());
    gate.CountDown();
    EXPECT_EQ(0, w.WaitForZero(0));
    EXPECT_EQ(Thread::kFinished, t.status.load());
    EXPECT_EQ(0, WatcherValue(w));
  }
}

TEST(Thread, StartIsRefusedWhileRunning) {
  ZnResourceWatcher w;
  Latch gate(1);
  Probe probe;
  probe.mode = Mode::kGate;
  probe.gate = &gate;
  Probe other;
  Recorder t("busy");
  t.resources = &w;
  ASSERT_EQ(0, t.Start(&probe));
  ASSERT_TRUE(probe.inWork.Wait());
  _Thread* const os = t.osThread;
  EXPECT_EQ(0, t.Start(&other));
  EXPECT_EQ(&probe, t.startArg);
  EXPECT_EQ(os, t.osThread);
  EXPECT_EQ(1, WatcherValue(w));
  gate.CountDown();
  EXPECT_EQ(0, w.WaitForZero(0));
  EXPECT_EQ("IWC", probe.Calls());
  EXPECT_EQ("", other.Calls());
}

TEST(Thread, RestartAfterFinish) {
  ZnResourceWatcher w;
  Recorder t("again");
  t.resources = &w;
  for (int run = 0; run < 3; ++run) {
    Probe probe;
    probe.workResult = run;
    ASSERT_EQ(0, t.Start(&probe));
    EXPECT_EQ(0, w.WaitForZero(0));
    EXPECT_EQ(Thread::kFinished, t.status.load());
    EXPECT_EQ(run, t.result);
    EXPECT_EQ("IWC", probe.Calls());
  }
}

TEST(Thread, DeleteOnExit) {
  ZnResourceWatcher w;
  std::atomic<int> destroyed{0};
  Probe probe;
  auto* t = new Recorder("selfdelete", 1, &destroyed);
  t->resources = &w;
  ASSERT_EQ(0, t->Start(&probe));
  EXPECT_EQ(0, w.WaitForZero(0));
  // The object went before the watcher was counted down.
  EXPECT_EQ(1, destroyed.load());
  EXPECT_EQ("IWC", probe.Calls());
}

// ---------------------------------------------------------------------------
// Trace lines.

struct TraceCase {
  const char* what;
  long level;
  bool deleteOnExit;
  int workResult;
};

class ThreadTrace : public ::testing::TestWithParam<TraceCase> {};

// The base class's steps (method lines under 0x800000) around the
// trampoline's lines (under 0x100).
TEST_P(ThreadTrace, ExactLines) {
  const TraceCase& c = GetParam();
  static const char kName[] = "tracer";
  ZnResourceWatcher w;
  std::string text;
  const void* address = nullptr;
  {
    DebugTrace trace(c.level);
    struct Base : Thread {
      Base(int del, int r) : Thread(kName, "tag", del), value(r) {}
      int Work(void* arg) override {
        Thread::Work(arg);
        return value;
      }
      int value;
    };
    auto* t = new Base(c.deleteOnExit ? 1 : 0, c.workResult);
    address = t;
    t->resources = &w;
    ASSERT_EQ(0, t->Start(nullptr));
    EXPECT_EQ(0, w.WaitForZero(0));
    if (!c.deleteOnExit) delete t;
    text = trace.Text();
  }
  const std::string a = Addr(address);
  const std::string id = "Thread " + a + "," + kName;
  char result[32];
  std::snprintf(result, sizeof result, "0x%x", static_cast<unsigned>(c.workResult));
  std::string expected;
  const bool method = (c.level & kMethodTrace) != 0;
  const bool thread = (c.level & kThreadTrace) != 0;
  if (method) expected += "Thread::Start " + a + "\n";
  if (thread) {
    expected += id + " : CplusplusTrampoline started\n";
    expected += id + " : Trampoline, resources->IncrementCounter\n";
  }
  if (method) expected += "Thread::Init " + a + "\n";
  if (thread) expected += id + " : Trampoline, Work started ...\n";
  if (method) expected += "Thread::Work " + a + "\n";
  if (thread) {
    expected += id + " : Trampoline, Work done\n";
    expected += id + " : Trampoline, Result = " + result + "\n";
  }
  if (method) expected += "Thread::Cleanup " + a + "\n";
  if (thread) {
    expected += id + " : Trampoline, Cleanup done\n";
    expected += id + " : Trampoline, Status set\n";
    expected += "Thread" + a + "," + kName + " : Trampoline, ZnThreadDetach done\n";
    if (c.deleteOnExit) {
      expected += id + " : Trampoline, delete before...\n";
      expected += "Thread " + a + " : Trampoline, delete done\n";
    }
  }
  EXPECT_EQ(expected, text);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, ThreadTrace,
    ::testing::Values(TraceCase{"Nothing", 0, false, 42},
                      TraceCase{"OtherBitsOnly", 0x10000 | 0x1 | 0x200, false, 42},
                      TraceCase{"ThreadTrace", kThreadTrace, false, 42},
                      TraceCase{"MethodTrace", kMethodTrace, false, 42},
                      TraceCase{"Both", kThreadTrace | kMethodTrace, false, 0},
                      TraceCase{"NegativeResult", kThreadTrace, false, -1},
                      TraceCase{"DeleteOnExit", kThreadTrace, true, 7},
                      TraceCase{"DeleteOnExitBoth", kThreadTrace | kMethodTrace, true, 7}),
    [](const ::testing::TestParamInfo<TraceCase>& info) { return info.param.what; });

TEST(ThreadTrace, AbortLine) {
  Thread t("aborted", "tag", 0);
  DebugTrace trace(kMethodTrace);
  t.Abort();
  EXPECT_EQ("Thread::Abort " + Addr(&t) + "\n", trace.Text());
}

TEST(Thread, DeletingFinishedThreadDoesNotAbort) {
  ZnResourceWatcher w;
  CountingSync sync;
  Probe probe;
  auto* t = new Recorder("done");
  t->resources = &w;
  ASSERT_EQ(0, t->Start(&probe));
  EXPECT_EQ(0, w.WaitForZero(0));
  t->syncObj = &sync;
  DebugTrace trace(kMethodTrace);
  delete t;
  EXPECT_EQ("", trace.Text());
  EXPECT_EQ(1, sync.releases.load());  // released by the destructor itself
}

}  // namespace

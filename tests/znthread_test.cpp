// Thread objects and their platform threads: life cycle, restart, the
// watcher hand-over, trace and failure lines byte for byte, OS threads given
// back. Abort and suspend have programs of their own.
#include "re5zor4/znthread.h"

#include <errno.h>

#include <climits>
#include <cstdio>
#include <utility>

#include "re5zor4/os_thread.h"
#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;

constexpr long kThreadTrace = 0x100;
constexpr long kMethodTrace = 0x800000;

// Start returns with the thread running and counted, and is a no-op until the
// run is over; a finished Thread restarts, giving back the last OS thread (an
// unjoined one keeps its 8 MiB stack); deleteOnExit deletes before the count-down.
TEST(Thread, StartRunRestart) {
  for (int deleteOnExit : {0, 1}) {
    ZnResourceWatcher w;
    CountingSync sync(&w);
    const long vmBefore = AddressSpaceKb();
    auto* t = new Recorder("run", deleteOnExit);
    t->resources = &w;
    t->syncObj = &sync;  // released by the destructor
    for (int run = 0; run < (deleteOnExit ? 1 : 60); ++run) {
      Latch gate(1);
      Probe probe, other;
      probe.mode = Mode::kGate;
      probe.gate = &gate;
      probe.workResult = run % 3 == 0 ? -1 : run % 3 == 1 ? INT_MIN : run;
      ASSERT_EQ(0, t->Start(&probe));
      EXPECT_EQ(1, WatcherValue(w)) << run;
      EXPECT_EQ(Thread::kRunning, t->status.load());
      EXPECT_EQ(0, t->Start(&other));
      gate.CountDown();
      ASSERT_TRUE(WaitUntil([&] { return WatcherValue(w) == 0; }));
      EXPECT_EQ("IWC", probe.calls);
      EXPECT_EQ("", other.calls);
      if (deleteOnExit) break;
      EXPECT_EQ(Thread::kFinished, t->status.load());
      EXPECT_EQ(probe.workResult, t->result);
    }
    if (!deleteOnExit) delete t;
    EXPECT_EQ(1, sync.releases.load());
    EXPECT_EQ(deleteOnExit, sync.countThen.load());  // deleted while still counted
    EXPECT_LT(AddressSpaceKb() - vmBefore, 16L * 8 * 1024);
  }
}

// The method lines (0x800000) around the trampoline's (0x100); once the run
// is over Continue leaves finished standing, Suspend fails with its line
// and Abort writes its own; deleting the Thread aborts nothing. The last
// level (every bit) runs with deleteOnExit.
TEST(Thread, TraceLines) {
  for (long level : {0x10201L, kThreadTrace, kMethodTrace, kThreadTrace | kMethodTrace, -1L}) {
    const int deleteOnExit = level == -1, workResult = level == kThreadTrace ? 42 : INT_MIN;
    ZnResourceWatcher w;
    Probe probe;
    probe.workResult = workResult;
    DebugTrace trace(level);
    auto* t = new Recorder("tracer", deleteOnExit);
    const std::string a = PointerText(t), id = "Thread " + a + ",tracer : ";
    t->resources = &w;
    ASSERT_EQ(0, t->Start(&probe));
    ASSERT_TRUE(WaitUntil([&] { return WatcherValue(w) == 0 && TaskState(probe.tid) == 0; }));
    std::string handle;
    if (!deleteOnExit) {
      handle = PointerText(static_cast<Win32Thread*>(t->osThread)->handle);
      EXPECT_EQ(0, t->Continue());
      EXPECT_EQ(Thread::kFinished, t->status.load());
      EXPECT_EQ(kThreadGoneCode, t->Suspend());
      EXPECT_EQ(Thread::kFailed, t->status.load());
      EXPECT_EQ(0, t->Abort());
      EXPECT_EQ(Thread::kAborted, t->status.load());
      delete t;
    }
    char result[32];
    std::snprintf(result, sizeof result, "0x%x", static_cast<unsigned>(workResult));
    const long del = deleteOnExit ? kThreadTrace : 0;
    const long kept = deleteOnExit ? 0 : kThreadTrace | kMethodTrace;
    const std::pair<long, std::string> lines[] = {
        {kMethodTrace, "Thread::Start " + a},
        {kThreadTrace, id + "CplusplusTrampoline started"},
        {kThreadTrace, id + "Trampoline, resources->IncrementCounter"},
        {kMethodTrace, "Thread::Init " + a},
        {kThreadTrace, id + "Trampoline, Work started ..."},
        {kMethodTrace, "Thread::Work " + a},
        {kThreadTrace, id + "Trampoline, Work done"},
        {kThreadTrace, id + "Trampoline, Result = " + result},
        {kMethodTrace, "Thread::Cleanup " + a},
        {kThreadTrace, id + "Trampoline, Cleanup done"},
        {kThreadTrace, id + "Trampoline, Status set"},
        {kThreadTrace, "Thread" + a + ",tracer : Trampoline, ZnThreadDetach done"},
        {del, id + "Trampoline, delete before..."},
        {del, "Thread " + a + " : Trampoline, delete done"},
        {kept & kThreadTrace,
         "Couldn't suspend thread " + handle + " (" + std::to_string(kThreadGoneCode) + ")"},
        {kept & kMethodTrace, "Thread::Abort " + a}};
    std::string expected;
    for (const auto& line : lines) {
      if ((level & line.first) != 0) expected += line.second + "\n";
    }
    EXPECT_EQ(expected, trace.Text()) << level;
  }
}

#if defined(RE5ZOR4_TEST_POSIX_ONLY)
// With the default stack unmappable pthread_create fails: its error is the
// result and the status failed. A failed Thread refuses Start, and every
// control of its platform object fails with ESRCH.
TEST(Thread, FailureLines) {
  Thread t("unborn", "tag", 0);
  pthread_attr_t saved, huge;
  pthread_getattr_default_np(&saved);
  pthread_attr_init(&huge);
  pthread_attr_setstacksize(&huge, static_cast<size_t>(1) << 47);
  pthread_setattr_default_np(&huge);
  DebugTrace trace(kThreadTrace);
  EXPECT_EQ(EAGAIN, t.Start(nullptr));
  pthread_setattr_default_np(&saved);
  EXPECT_EQ(Thread::kFailed, t.status.load());
  EXPECT_EQ(0, t.Start(nullptr));
  EXPECT_EQ(ESRCH, t.Suspend());
  EXPECT_EQ(ESRCH, t.Continue());
  EXPECT_EQ(0, t.Abort());
  EXPECT_EQ(Thread::kFailed, t.status.load());
  EXPECT_EQ(
      "Couldn't create thread (11)\nCouldn't suspend thread 0x0 (3)\n"
      "Couldn't resume thread 0x0 (3)\nCouldn't terminate thread 0x0 (3)\n",
      trace.Text());
}
#endif  // RE5ZOR4_TEST_POSIX_ONLY

// Before any Start every control answers without effect; only Abort acts, on
// syncObj, which it force-releases and clears (the destructor then has none).
TEST(Thread, ControlsBeforeStartChangeNothing) {
  struct Case {
    const char* call;
    int (*run)(Thread&);
    int result, releases;
  };
  const Case cases[] = {
      {"Suspend", [](Thread& t) { return t.Suspend(); }, 0, 0},
      {"Block", [](Thread& t) { return t.Block(t.syncObj); }, 0, 0},
      {"Giveup", [](Thread& t) { return t.Giveup(); }, 0, 0},
      {"Continue", [](Thread& t) { return t.Continue(); }, 0, 0},
      {"GetOSThreadInfo", [](Thread& t) { return t.GetOSThreadInfo(&t, &t, &t); }, -1, 0},
      {"Abort", [](Thread& t) { return t.Abort(); }, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    CountingSync sync;
    {
      Recorder t("idle");
      t.syncObj = &sync;
      EXPECT_EQ(c.result, c.run(t));
      EXPECT_EQ(Thread::kCreated, t.status.load());
      EXPECT_EQ(nullptr, t.osThread);
      EXPECT_EQ(c.releases, sync.releases.load());
      EXPECT_EQ(c.releases != 0 ? nullptr : &sync, t.syncObj);
    }
    EXPECT_EQ(1, sync.releases.load());
  }
}

// The four-argument constructor runs the base steps at once with its argument.
TEST(Thread, FourArgumentConstructorStartsTheRun) {
  int arg = 0;
  DebugTrace trace(kMethodTrace);
  auto* t = new Thread("eager", &arg, "tag", 0);
  const std::string a = PointerText(t);
  EXPECT_EQ(&arg, t->startArg);
  ASSERT_TRUE(WaitUntil([&] { return t->status == Thread::kFinished; }));
  EXPECT_EQ(0, t->result);
  delete t;
  EXPECT_EQ("Thread::Start " + a + "\nThread::Init " + a + "\nThread::Work " + a +
                "\nThread::Cleanup " + a + "\n",
            trace.Text());
}

// Once an OS thread exists the platform answers GetOSThreadInfo, also after
// the run. WaitForThreadExit waits for nothing: it is reported and returns 0
// while the thread still runs. A base command object answers -2.
TEST(Thread, OsInfoWaitForExitAndBaseCommand) {
  ZnResourceWatcher w;
  Latch gate(1);
  Probe probe;
  probe.mode = Mode::kGate;
  probe.gate = &gate;
  Recorder t("info");
  t.resources = &w;
  ASSERT_EQ(0, t.Start(&probe));
  EXPECT_EQ(-2999, t.GetOSThreadInfo(nullptr, nullptr, nullptr));
  {
    AssertCapture asserts;
    EXPECT_EQ(0, t.WaitForThreadExit(0));
    EXPECT_EQ(0, t.WaitForThreadExit(-1));
    EXPECT_EQ(Thread::kRunning, t.status.load());
    std::string seen;
    for (const AssertReport& r : asserts.Reports())
      seen += r.expression + "|" + r.file + "|" + std::to_string(r.line) + "\n";
    EXPECT_EQ("0|src\\znthread|201\n0|src\\znthread|201\n", seen);
  }
  gate.CountDown();
  ASSERT_TRUE(WaitUntil([&] { return WatcherValue(w) == 0; }));
  EXPECT_EQ(-2999, t.GetOSThreadInfo(&w, &t, nullptr));
  CmdObj command;
  EXPECT_EQ(-2, command.ProcessCmd(nullptr));
  EXPECT_EQ(-2, command.ProcessCmd(t.osThread));
}

}  // namespace

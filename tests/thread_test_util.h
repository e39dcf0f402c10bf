// Shared by the thread tests: a Thread whose Work does what its Probe says,
// debug capture at a chosen level, and a look at threads (test_os.h).
#ifndef RE5ZOR4_TESTS_THREAD_TEST_UTIL_H_
#define RE5ZOR4_TESTS_THREAD_TEST_UTIL_H_

#include <atomic>
#include <fstream>
#include <memory>
#include <string>

#include "re5zor4/condition.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/schedule.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/znthread.h"
#include "re5zor4/zntls.h"
#include "support/test_os.h"
#include "support/test_support.h"

namespace thread_test {

using namespace re5zor4_test;

inline bool WaitUntilAsleep(const std::atomic<int>& tid) {
  return WaitUntil([&] { return tid != 0 && TaskState(tid) == 'S'; });
}

template <class Watcher>
int WatcherValue(Watcher& w) {
  return w.condition->Lock(), w.condition->Unlock();  // the value under the guard
}

// Sets the debugger's level for the object's life and captures its output.
struct DebugTrace : SinkSwap {
  explicit DebugTrace(long level)
      : SinkSwap(GetDebugger()), was(GetDebugger()->level.exchange(level)) {}
  ~DebugTrace() { GetDebugger()->level = was; }
  std::string Text() { return sink().Text(); }
  long was;
};

// Counts the force-releases a Thread makes of its syncObj, and notes the
// count of a watcher at the last one.
struct CountingSync : ZnSynchroObj {
  explicit CountingSync(ZnResourceWatcher* w = nullptr) : ZnSynchroObj("sync"), watched(w) {}
  void ForceRelease() override { countThen = watched ? WatcherValue(*watched) : 0, ++releases; }
  ZnResourceWatcher* watched;
  std::atomic<int> releases{0}, countThen{-1};
};

// What a Recorder's Work does after counting inWork down.
// kSection: enter `section`; kWriter: write on `rw`; kZnSleep: ZnSleep for long.
enum class Mode {
  kReturn,
  kGate,
  kSpin,
  kWait,
  kSleep,
  kHold,
  kSelfAbort,
  kSelfSuspend,
  kSection,
  kWriter,
  kZnSleep
};

struct Probe {
  Mode mode = Mode::kReturn;
  int workResult = 42;
  Latch* gate = nullptr;
  Condition* cond = nullptr;  // waited on (kWait), held while sleeping (kHold)
  ZnCritSect* section = nullptr;
  ZnRW_Mutex* rw = nullptr;
  Latch inWork{1};
  std::atomic<bool> unwound{false};  // Work's frame was left, by return or unwinding
  std::atomic<int> tid{0};
  std::atomic<Condition*> tlsCond{nullptr};  // the thread's per-thread condition
  std::atomic<bool> stop{false}, passed{false};
  std::atomic<long> count{0};
  std::string calls;  // the steps run; read once the run is over
};

// Records its steps in its Probe (after the base versions' trace lines);
// once Work waits it uses only the Probe: a test may destroy the object.
struct Recorder : Thread {
  explicit Recorder(const char* name, int deleteAtExit = 0) : Thread(name, "tag", deleteAtExit) {}
  void Init(void* a) override { Thread::Init(a), static_cast<Probe*>(a)->calls += 'I'; }
  void Cleanup(void* a) override { Thread::Cleanup(a), static_cast<Probe*>(a)->calls += 'C'; }
  int Work(void* a) override {
    Probe* p = static_cast<Probe*>(a);
    Thread::Work(a), p->calls += 'W';
    std::shared_ptr<void> end(nullptr, [p](void*) { p->unwound = true; });
    p->tid = OsThreadId();
    p->tlsCond = TLSGetCondition();
    if (p->mode == Mode::kHold) p->cond->Lock();
    p->inWork.CountDown();
    if (p->mode == Mode::kSelfAbort) Abort();  // ends here
    if (p->mode == Mode::kGate) p->gate->Wait();
    while (p->mode == Mode::kSpin && !p->stop)
      p->count.fetch_add(1, std::memory_order_relaxed);  // no system call
    if (p->mode == Mode::kWait) p->cond->Wait(0, 0xFFFFFFFFul);
    if (p->mode == Mode::kSleep) ZnThreadSwitchWithDelay(300);
    if (p->mode == Mode::kSection) p->section->Begin();
    if (p->mode == Mode::kWriter) p->rw->StartRW(1, 0);
    if (p->mode == Mode::kZnSleep) ZnSleep(100000);
    if (p->mode == Mode::kHold || p->mode == Mode::kSelfAbort) ZnSleep(100000);
    if (p->mode == Mode::kSelfSuspend && Suspend() != 0) return -1;
    p->passed = true;
    return p->workResult;
  }
};

}  // namespace thread_test

#endif  // RE5ZOR4_TESTS_THREAD_TEST_UTIL_H_

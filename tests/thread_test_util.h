// Helpers shared by the thread tests: waiting for a thread to block,
// capturing debug output at a chosen level, a Thread that records its steps
// and can be told how to spend its Work, and an end marker that also fires
// when an aborted thread unwinds.
#ifndef RE5ZOR4_TESTS_THREAD_TEST_UTIL_H_
#define RE5ZOR4_TESTS_THREAD_TEST_UTIL_H_

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/schedule.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/znthread.h"
#include "support/test_support.h"

namespace thread_test {

using re5zor4_test::Latch;
using re5zor4_test::SinkSwap;
using re5zor4_test::WaitUntil;

constexpr long kThreadTrace = 0x100;
constexpr long kMethodTrace = 0x800000;
constexpr long kConditionErrors = 0x10000;

// A pointer as the diagnostic stream writes it.
inline std::string Addr(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx",
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

inline int Gettid() {
  return static_cast<int>(syscall(SYS_gettid));
}

// True once the thread is asleep in the kernel (blocked in a wait): the state
// letter after the command name in /proc/self/task/<tid>/stat is 'S'.
inline bool WaitUntilAsleep(int tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  return WaitUntil([&] {
    std::ifstream in(path);
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
  });
}

// True while the thread exists (it has not ended).
inline bool TaskExists(int tid) {
  return std::ifstream("/proc/self/task/" + std::to_string(tid) + "/stat").good();
}

inline int WatcherValue(ZnResourceWatcher& w) {
  const int value = w.condition->Lock();
  w.condition->Unlock();
  return value;
}

// Sets the debugger's level for the object's life and captures its output.
class DebugTrace {
 public:
  explicit DebugTrace(long level) : previous_(GetDebugger()->level.load()), swap_(GetDebugger()) {
    GetDebugger()->level.store(level);
  }
  ~DebugTrace() { GetDebugger()->level.store(previous_); }
  std::string Text() { return swap_.sink().Text(); }

 private:
  long previous_;
  SinkSwap swap_;
};

// Runs f on a helper thread; false when it does not finish within the bound
// (the helper is then left behind, blocked).
inline bool FinishesInTime(std::function<void()> f) {
  auto done = std::make_shared<Latch>(1);
  std::thread([f, done] {
    f();
    done->CountDown();
  }).detach();
  return done->Wait();
}

// Counts down when destroyed: on a normal return and on the unwinding of an
// aborted thread alike.
struct EndSignal {
  Latch* latch;
  ~EndSignal() { latch->CountDown(); }
};

class CountingSync : public ZnSynchroObj {
 public:
  CountingSync() : ZnSynchroObj("CountingSync") {}
  void ForceRelease() override { releases.fetch_add(1); }
  std::atomic<int> releases{0};
};

// What a Recorder does in Work.
enum class Mode {
  kReturn,         // return probe->workResult at once
  kGate,           // wait for probe->gate, then return
  kSpin,           // count and Giveup until aborted
  kConditionWait,  // wait on probe->cond (value 0: forever)
  kSleep,          // ZnSleep for a long time
  kHoldAndSleep,   // Lock probe->cond, then sleep holding its guard
  kSelfAbort,      // abort itself, then sleep
};

struct Probe {
  Mode mode = Mode::kReturn;
  int workResult = 42;
  Latch* gate = nullptr;
  Condition* cond = nullptr;
  Latch inWork{1};
  Latch ended{1};
  std::atomic<int> tid{0};
  std::atomic<long> spins{0};
  std::mutex mutex;
  std::string calls;
  std::vector<void*> args;

  void Record(char what, void* arg) {
    std::lock_guard<std::mutex> lock(mutex);
    calls += what;
    args.push_back(arg);
  }
  std::string Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

class Recorder : public Thread {
 public:
  explicit Recorder(const char* name, int deleteAtExit = 0, std::atomic<int>* destroyed = nullptr)
      : Thread(name, "tag", deleteAtExit), destroyed_(destroyed) {}
  ~Recorder() override {
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }

  void Init(void* arg) override { static_cast<Probe*>(arg)->Record('I', arg); }
  void Cleanup(void* arg) override { static_cast<Probe*>(arg)->Record('C', arg); }

  // Reads only its argument once it blocks: a test may destroy the object
  // meanwhile.
  int Work(void* arg) override {
    Probe* probe = static_cast<Probe*>(arg);
    probe->Record('W', arg);
    EndSignal end{&probe->ended};
    probe->tid.store(Gettid());
    switch (probe->mode) {
      case Mode::kReturn:
        probe->inWork.CountDown();
        break;
      case Mode::kGate:
        probe->inWork.CountDown();
        probe->gate->Wait();
        break;
      case Mode::kSpin:
        probe->inWork.CountDown();
        for (;;) {
          probe->spins.fetch_add(1);
          Giveup();
        }
      case Mode::kConditionWait:
        probe->inWork.CountDown();
        probe->cond->Wait(0, 0xFFFFFFFFul);
        break;
      case Mode::kSleep:
        probe->inWork.CountDown();
        ZnSleep(100000);
        break;
      case Mode::kHoldAndSleep:
        probe->cond->Lock();
        probe->inWork.CountDown();
        ZnSleep(100000);
        break;
      case Mode::kSelfAbort:
        Abort();
        probe->inWork.CountDown();
        ZnSleep(100000);
        break;
    }
    return probe->workResult;
  }

 private:
  std::atomic<int>* destroyed_;
};

}  // namespace thread_test

#endif  // RE5ZOR4_TESTS_THREAD_TEST_UTIL_H_

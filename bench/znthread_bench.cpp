// Thread start-to-finish against std::thread create+join.
//
// Both run pinned to one CPU (the measuring thread, and by inheritance every
// thread it makes), so that the time does not depend on where the scheduler
// puts the new thread. Both are measured in real time: the work is split
// between the starting thread and the new one, and on one CPU the wall-clock
// time is the sum of both, which the starting thread's CPU time would miss.
//
//   BM_ZnThreadStartToFinish  Start, a trivial Work, WaitForZero on the
//                             thread's ZnResourceWatcher
//   BM_StdThreadCreateJoin    std::thread with a trivial body, join
#include <benchmark/benchmark.h>

#include <thread>

#include "bench_support.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/znthread.h"

namespace {

class Trivial : public Thread {
 public:
  Trivial() : Thread("bench", "bench", 0) {}
  int Work(void* arg) override {
    benchmark::DoNotOptimize(arg);
    return 1;
  }
};

// Once per process: pin the measuring thread (threads made from now on
// inherit its mask) and run one thread of each kind, so that neither side
// pays first-use costs while measured. The module is started by main.
void Prepare(benchmark::State& state) {
  static const bool pinned = [] {
    const bool ok = bench::PinToOneCpu();
    std::thread([] {}).join();
    ZnResourceWatcher w;
    Trivial t;
    t.resources = &w;
    t.Start(nullptr);
    w.WaitForZero(0);
    return ok;
  }();
  if (!pinned) state.SkipWithError("cannot pin to one CPU");
}

void BM_ZnThreadStartToFinish(benchmark::State& state) {
  Prepare(state);
  ZnResourceWatcher w;
  Trivial t;
  t.resources = &w;
  for (auto _ : state) {
    if (t.Start(nullptr) != 0) {
      state.SkipWithError("Start failed");
      break;
    }
    w.WaitForZero(0);
  }
}
BENCHMARK(BM_ZnThreadStartToFinish)->UseRealTime();

void BM_StdThreadCreateJoin(benchmark::State& state) {
  Prepare(state);
  for (auto _ : state) {
    std::thread t([] { benchmark::ClobberMemory(); });
    t.join();
  }
}
BENCHMARK(BM_StdThreadCreateJoin)->UseRealTime();

}  // namespace

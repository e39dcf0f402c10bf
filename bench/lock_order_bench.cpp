// Lock-order recording ("lockOrder") on the deadlock-detecting section.
//
// Rows to compare (CPU time for the single-threaded ones):
//   BM_Pair/plain vs BM_Pair/detecting vs BM_Pair/detecting_lockorder: an
//     uncontended Begin/Exit pair; with lockOrder=1 a first level takes the
//     graph lock (no order to record: nothing else is held).
//   BM_PairUnderOuter/...: the same pair while one other detecting section
//     is held, so with lockOrder=1 every pair looks up one known order.
//   BM_NestedPairs/...: outer and inner section taken and left each round.
//   BM_Contended/...: two threads take the same section (items per second),
//     against std::recursive_mutex.
// The module is restarted with the switch set before each row (Setup), since
// "lockOrder" is read at start-up.
#include <benchmark/benchmark.h>

#include <mutex>

#include "bench_support.h"
#include "re5zor4/critsect.h"
#include "re5zor4/module.h"
#include "ru5red4/znconfig.h"

namespace {

enum Kind { kPlain, kDetecting, kDetectingLockOrder };
const char* const kKindNames[] = {"plain", "detecting", "detecting_lockorder"};

ZnCritSect* g_section = nullptr;
ZnCritSect* g_outer = nullptr;

void RestartWithLockOrder(bool on) {
  ___ZnExtendedContext(0);
  DefaultConfig(reinterpret_cast<ZnConfig*>(-1))->SetValue("debug", "lockOrder", on ? "1" : "0");
  ___ZnExtendedContext(1);
}

void SetUp(const benchmark::State& state) {
  const Kind kind = static_cast<Kind>(state.range(0));
  RestartWithLockOrder(kind == kDetectingLockOrder);
  const int previous = ZnSetDeadLockDetection(kind == kPlain ? 0 : 1);
  g_section = ZnCritSect::Make("bench");
  g_outer = ZnCritSect::Make("outer");
  ZnSetDeadLockDetection(previous);
}

void TearDown(const benchmark::State&) {
  delete g_section;
  delete g_outer;
  g_section = nullptr;
  g_outer = nullptr;
}

void Pairs(benchmark::State& state) {
  ZnCritSect* section = g_section;
  for (auto _ : state) {
    section->Begin();
    section->Exit();
    benchmark::ClobberMemory();
  }
}

void BM_Pair(benchmark::State& state) {
  state.SetLabel(kKindNames[state.range(0)]);
  Pairs(state);
}
BENCHMARK(BM_Pair)->Setup(SetUp)->Teardown(TearDown)->DenseRange(kPlain, kDetectingLockOrder);

void BM_PairUnderOuter(benchmark::State& state) {
  state.SetLabel(kKindNames[state.range(0)]);
  g_outer->Begin();
  Pairs(state);
  g_outer->Exit();
}
BENCHMARK(BM_PairUnderOuter)
    ->Setup(SetUp)
    ->Teardown(TearDown)
    ->DenseRange(kPlain, kDetectingLockOrder);

// Both sections taken and left each round: the outer one with nothing held,
// the inner one with a known order from the outer.
void BM_NestedPairs(benchmark::State& state) {
  state.SetLabel(kKindNames[state.range(0)]);
  ZnCritSect* outer = g_outer;
  ZnCritSect* inner = g_section;
  for (auto _ : state) {
    outer->Begin();
    inner->Begin();
    inner->Exit();
    outer->Exit();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_NestedPairs)
    ->Setup(SetUp)
    ->Teardown(TearDown)
    ->DenseRange(kPlain, kDetectingLockOrder);

void BM_Contended(benchmark::State& state) {
  state.SetLabel(kKindNames[state.range(0)]);
  Pairs(state);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Contended)
    ->Setup(SetUp)
    ->Teardown(TearDown)
    ->DenseRange(kPlain, kDetectingLockOrder)
    ->Threads(2)
    ->UseRealTime();

std::recursive_mutex g_stdMutex;

void BM_StdRecursiveMutex_Contended(benchmark::State& state) {
  for (auto _ : state) {
    g_stdMutex.lock();
    g_stdMutex.unlock();
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StdRecursiveMutex_Contended)->Threads(2)->UseRealTime();

}  // namespace

// The deadlock-detecting section's Begin/Exit pair against a plain section's,
// uncontended on one thread. Rows to compare (CPU time): BM_DldCritSect_Pair
// vs BM_PlainCritSect_Pair; BM_DldCritSect_Reentrant shows the holder's
// re-entry, one comparison and the count. The detecting pair pays for the
// per-thread record lookup, the wait counter and the bookkeeping lock on top
// of the plain pair.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "re5zor4/critsect.h"

namespace {

// A section of the kind the flag selects, the flag put back afterwards.
ZnCritSect* MakeSection(int detecting, const char* name) {
  const int previous = ZnSetDeadLockDetection(detecting);
  ZnCritSect* section = ZnCritSect::Make(name);
  ZnSetDeadLockDetection(previous);
  return section;
}

void RunPairs(benchmark::State& state, ZnCritSect* section) {
  for (auto _ : state) {
    section->Begin();
    section->Exit();
    benchmark::ClobberMemory();
  }
}

void BM_PlainCritSect_Pair(benchmark::State& state) {
  ZnCritSect* section = MakeSection(0, "plain");
  RunPairs(state, section);
  delete section;
}
BENCHMARK(BM_PlainCritSect_Pair);

void BM_DldCritSect_Pair(benchmark::State& state) {
  ZnCritSect* section = MakeSection(1, "detecting");
  RunPairs(state, section);
  delete section;
}
BENCHMARK(BM_DldCritSect_Pair);

void BM_DldCritSect_Reentrant(benchmark::State& state) {
  ZnCritSect* section = MakeSection(1, "reentrant");
  section->Begin();
  RunPairs(state, section);
  section->Exit();
  delete section;
}
BENCHMARK(BM_DldCritSect_Reentrant);

}  // namespace

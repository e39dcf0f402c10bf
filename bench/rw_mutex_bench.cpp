// Cost of the reader/writer mutex's levels beside std::shared_mutex, one
// thread, uncontended. Rows to compare, by CPU time:
//   - BM_RWMutex_FirstReaderLevel (StartRW(0) and EndRW(0) with nothing held)
//     against BM_SharedMutex_LockShared (lock_shared and unlock_shared): it
//     passes "RW_Exclusive", counts up and down under the condition's guard
//     and makes and removes the per-thread record;
//   - BM_RWMutex_NestedReaderLevel (inside an outer level) against the same
//     pair: it only looks up the record and changes the thread's own state.
#include <benchmark/benchmark.h>

#include <shared_mutex>

#include "bench_support.h"
#include "re5zor4/rw_mutex.h"

namespace {

void BM_SharedMutex_LockShared(benchmark::State& state) {
  std::shared_mutex mutex;
  for (auto _ : state) {
    mutex.lock_shared();
    mutex.unlock_shared();
  }
}
BENCHMARK(BM_SharedMutex_LockShared);

void BM_SharedMutex_Lock(benchmark::State& state) {
  std::shared_mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}
BENCHMARK(BM_SharedMutex_Lock);

void BM_RWMutex_FirstReaderLevel(benchmark::State& state) {
  ZnRW_Mutex* mutex = ZnRW_Mutex::Make(nullptr);
  for (auto _ : state) {
    mutex->StartRW(0, 0xFFFFFFFF);
    mutex->EndRW(0);
  }
  delete mutex;
}
BENCHMARK(BM_RWMutex_FirstReaderLevel);

void BM_RWMutex_NestedReaderLevel(benchmark::State& state) {
  ZnRW_Mutex* mutex = ZnRW_Mutex::Make(nullptr);
  mutex->StartRW(0, 0xFFFFFFFF);
  for (auto _ : state) {
    mutex->StartRW(0, 0xFFFFFFFF);
    mutex->EndRW(0);
  }
  mutex->EndRW(0);
  delete mutex;
}
BENCHMARK(BM_RWMutex_NestedReaderLevel);

void BM_RWMutex_FirstWriterLevel(benchmark::State& state) {
  ZnRW_Mutex* mutex = ZnRW_Mutex::Make(nullptr);
  for (auto _ : state) {
    mutex->StartRW(1, 0xFFFFFFFF);
    mutex->EndRW(1);
  }
  delete mutex;
}
BENCHMARK(BM_RWMutex_FirstWriterLevel);

// The nested level with several mutexes held: the record lookup walks the
// thread's list, newest first, and this mutex's record is the oldest.
void BM_RWMutex_NestedReaderLevelBehindFourRecords(benchmark::State& state) {
  ZnRW_Mutex* mutex = ZnRW_Mutex::Make(nullptr);
  ZnRW_Mutex* others[4];
  mutex->StartRW(0, 0xFFFFFFFF);
  for (ZnRW_Mutex*& other : others) {
    other = ZnRW_Mutex::Make(nullptr);
    other->StartRW(0, 0xFFFFFFFF);
  }
  for (auto _ : state) {
    mutex->StartRW(0, 0xFFFFFFFF);
    mutex->EndRW(0);
  }
  for (ZnRW_Mutex* other : others) {
    other->EndRW(0);
    delete other;
  }
  mutex->EndRW(0);
  delete mutex;
}
BENCHMARK(BM_RWMutex_NestedReaderLevelBehindFourRecords);

}  // namespace

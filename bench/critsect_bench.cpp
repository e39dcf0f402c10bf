// Plain critical sections and conditions against their standard peers.
//
// Rows to compare (CPU time for the single-threaded ones, since other tenants
// preempt us): BM_CritSect_Pair vs BM_StdMutex_Pair, BM_CritSect_Reentrant
// vs BM_StdMutex_Pair, BM_CritSect_Contended vs BM_StdRecursiveMutex_Contended
// (items per second), BM_Condition_PingPong vs BM_CondVar_PingPong (both
// pinned to one CPU).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "bench_support.h"
#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"

namespace {

void BM_StdMutex_Pair(benchmark::State& state) {
  std::mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StdMutex_Pair);

void BM_StdRecursiveMutex_Pair(benchmark::State& state) {
  std::recursive_mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StdRecursiveMutex_Pair);

void BM_CritSect_Pair(benchmark::State& state) {
  ZnCritSect* section = ZnCritSect::MakeImplementation("bench");
  for (auto _ : state) {
    section->Begin();
    section->Exit();
    benchmark::ClobberMemory();
  }
  delete section;
}
BENCHMARK(BM_CritSect_Pair);

// A re-entrant pair inside an outer hold: no atomic read-modify-write.
void BM_CritSect_Reentrant(benchmark::State& state) {
  ZnCritSect* section = ZnCritSect::MakeImplementation("bench");
  section->Begin();
  for (auto _ : state) {
    section->Begin();
    section->Exit();
    benchmark::ClobberMemory();
  }
  section->Exit();
  delete section;
}
BENCHMARK(BM_CritSect_Reentrant);

std::recursive_mutex g_recursive;
ZnCritSect* g_contended = nullptr;
long g_shared = 0;

void BM_StdRecursiveMutex_Contended(benchmark::State& state) {
  for (auto _ : state) {
    g_recursive.lock();
    ++g_shared;
    g_recursive.unlock();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StdRecursiveMutex_Contended)->Threads(2)->UseRealTime();

void BM_CritSect_Contended(benchmark::State& state) {
  if (state.thread_index() == 0) g_contended = ZnCritSect::MakeImplementation("contended");
  // Threads start together, after thread 0's set-up (the benchmark library
  // synchronises the start of the timed loop).
  for (auto _ : state) {
    g_contended->Begin();
    ++g_shared;
    g_contended->Exit();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CritSect_Contended)->Threads(2)->UseRealTime();

// Ping-pong: the main thread hands a turn to a partner thread and waits for
// it back; both are pinned to one CPU, so every round trip is two switches.
void BM_CondVar_PingPong(benchmark::State& state) {
  bench::PinToOneCpu();
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;  // 0 main, 1 partner, 2 stop
  std::thread partner([&] {
    bench::PinToOneCpu();
    std::unique_lock<std::mutex> lock(m);
    for (;;) {
      cv.wait(lock, [&] { return turn != 0; });
      if (turn == 2) return;
      turn = 0;
      cv.notify_all();
    }
  });
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(m);
    turn = 1;
    cv.notify_all();
    cv.wait(lock, [&] { return turn == 0; });
  }
  {
    std::lock_guard<std::mutex> lock(m);
    turn = 2;
  }
  cv.notify_all();
  partner.join();
}
BENCHMARK(BM_CondVar_PingPong)->UseRealTime();

void BM_Condition_PingPong(benchmark::State& state) {
  bench::PinToOneCpu();
  Condition* ping = Condition::MakeCondition("ping");
  Condition* pong = Condition::MakeCondition("pong");
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    bench::PinToOneCpu();
    for (;;) {
      ping->Wait(0, 0xFFFFFFFF);
      ping->Clear();
      if (stop.load(std::memory_order_relaxed)) return;
      pong->Set();
    }
  });
  for (auto _ : state) {
    ping->Set();
    pong->Wait(0, 0xFFFFFFFF);
    pong->Clear();
  }
  stop = true;
  ping->Set();
  partner.join();
  delete ping;
  delete pong;
}
BENCHMARK(BM_Condition_PingPong)->UseRealTime();

}  // namespace

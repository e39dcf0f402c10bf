// Writer wait under a reader flood.
//
// Three threads take a reader level, hold it for 1 to 5 microseconds and take
// it again at once, without end; a fourth thread takes the writer level 200
// times, half a millisecond apart, and measures how long each request waits.
// The same run is made on the library's reader/writer mutex and on
// std::shared_mutex, and for each the program prints the writer's median,
// 99th percentile and longest wait and how many waits passed 50 ms.
//
// Each run ends after 200 writes or 30 seconds, whichever comes first: at
// the time limit the readers stop, so a starved writer gets in and the run
// ends. Exit status 0 when both runs completed their 200 writes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "re5zor4/module.h"
#include "re5zor4/rw_mutex.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

constexpr int kReaders = 3;
constexpr int kWrites = 200;
constexpr auto kRunLimit = std::chrono::seconds(30);
constexpr auto kWritePause = microseconds(500);
constexpr auto kLongWait = std::chrono::milliseconds(50);

void Hold(microseconds span) {
  const auto until = Clock::now() + span;
  while (Clock::now() < until) {
  }
}

struct ZnLock {
  ZnRW_Mutex* mutex = ZnRW_Mutex::Make(nullptr);
  ~ZnLock() { delete mutex; }
  void ReadLock() { mutex->StartRW(0, 0xFFFFFFFF); }
  void ReadUnlock() { mutex->EndRW(0); }
  void WriteLock() { mutex->StartRW(1, 0xFFFFFFFF); }
  void WriteUnlock() { mutex->EndRW(1); }
};

struct StdLock {
  std::shared_mutex mutex;
  void ReadLock() { mutex.lock_shared(); }
  void ReadUnlock() { mutex.unlock_shared(); }
  void WriteLock() { mutex.lock(); }
  void WriteUnlock() { mutex.unlock(); }
};

struct Result {
  std::vector<double> waitsMs;
  double elapsedS = 0;
  long readerLevels = 0;
};

template <class Lock>
Result Run() {
  Lock lock;
  Result result;
  std::atomic<bool> stop{false};
  std::atomic<long> readerLevels{0};
  const auto start = Clock::now();
  const auto limit = start + kRunLimit;

  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      std::minstd_rand random(static_cast<unsigned>(i + 1));
      long taken = 0;
      while (!stop.load(std::memory_order_relaxed) && Clock::now() < limit) {
        lock.ReadLock();
        Hold(microseconds(1 + random() % 5));
        lock.ReadUnlock();
        ++taken;
      }
      readerLevels.fetch_add(taken);
    });
  }
  std::thread writer([&] {
    std::minstd_rand random(99);
    for (int i = 0; i < kWrites && Clock::now() < limit; ++i) {
      std::this_thread::sleep_for(kWritePause);
      const auto asked = Clock::now();
      lock.WriteLock();
      const auto got = Clock::now();
      Hold(microseconds(1 + random() % 5));
      lock.WriteUnlock();
      result.waitsMs.push_back(std::chrono::duration<double, std::milli>(got - asked).count());
    }
    stop = true;
  });
  writer.join();
  for (std::thread& t : readers) t.join();
  result.elapsedS = std::chrono::duration<double>(Clock::now() - start).count();
  result.readerLevels = readerLevels.load();
  return result;
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

bool Report(const char* name, Result result) {
  std::vector<double>& waits = result.waitsMs;
  std::sort(waits.begin(), waits.end());
  const long longWaits = std::count_if(waits.begin(), waits.end(), [](double ms) {
    return ms > std::chrono::duration<double, std::milli>(kLongWait).count();
  });
  printf(
      "%-18s writes %3zu/%d  p50 %9.3f ms  p99 %9.3f ms  max %9.3f ms  >50ms %3ld (%5.1f%%)"
      "  reader levels %ld  in %.1f s\n",
      name, waits.size(), kWrites, Percentile(waits, 0.50), Percentile(waits, 0.99),
      waits.empty() ? 0.0 : waits.back(), longWaits,
      waits.empty() ? 0.0
                    : 100.0 * static_cast<double>(longWaits) / static_cast<double>(waits.size()),
      result.readerLevels, result.elapsedS);
  fflush(stdout);
  return static_cast<int>(waits.size()) == kWrites;
}

}  // namespace

int main() {
  ___ZnExtendedContext(1);
  printf("writer wait under a reader flood: %d readers holding 1-5 us, %d writes\n", kReaders,
         kWrites);
  const bool ours = Report("ZnRW_Mutex", Run<ZnLock>());
  Report("std::shared_mutex", Run<StdLock>());
  ___ZnExtendedContext(0);
  return ours ? 0 : 1;
}

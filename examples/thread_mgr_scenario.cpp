// Demo scenario: worker threads run through a level-All thread manager.
//
// Three readers take reader brackets and a named section each; a writer asks
// for the writer bracket while they read and waits; a worker holds
// "ZnCSZnMgr". The status report is printed three times: while the readers
// hold and the writer drains, while the writer writes, and at the end when
// everything is free. The manager's sections detect deadlocks, which makes
// their status lines name the thread that holds each one.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "re5zor4/critsect.h"
#include "re5zor4/module.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/thread_mgr.h"

namespace {

const std::chrono::seconds kBound(10);

class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void CountDown() {
    std::lock_guard<std::mutex> lock(mu_);
    if (--count_ <= 0) cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kBound, [this] { return count_ <= 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_;
};

void Say(const char* text) {
  if (smp_io* console = GetConsole()) *console << text << endl;
}

// Waits (bounded) until the manager's mutex has a writer queued on it.
bool WriterIsWaiting(ZnThreadMgr& manager) {
  ZnGenRW_Mutex* mutex = dynamic_cast<ZnGenRW_Mutex*>(manager.rwMutex);
  if (mutex == nullptr) return false;
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (mutex->waitingWriters.load() == 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int RunScenario() {
  // Deadlock-detecting sections know their holders, so the report can show
  // who holds what. The flag counts only while sections are made.
  const int previousDetection = ZnSetDeadLockDetection(1);
  ZnThreadMgr manager(nullptr);  // level All
  ZnSetDeadLockDetection(previousDetection);
  const int kReaders = 3;
  const unsigned long kReaderSections[kReaders] = {0, 9, 16};  // RootObject, ObjMgr, DBManager
  const unsigned long kWorkerSection = 11;                     // ZnCSZnMgr
  bool ok = true;

  Latch readersIn(kReaders), releaseReaders(1);
  Latch writerIn(1), releaseWriter(1);
  Latch workerIn(1), releaseWorker(1);

  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i) {
    threads.emplace_back([&, i] {
      manager.BeginReader("demo reader");
      manager.BeginCriticalSection(kReaderSections[i], "demo reader");
      readersIn.CountDown();
      releaseReaders.Wait();
      manager.EndCriticalSection(kReaderSections[i], "demo reader");
      manager.EndReader("demo reader");
    });
  }
  threads.emplace_back([&] {
    manager.BeginCriticalSection(kWorkerSection, 0, "demo worker");
    workerIn.CountDown();
    releaseWorker.Wait();
    manager.EndCriticalSection(kWorkerSection, 0, "demo worker");
  });
  ok = readersIn.Wait() && workerIn.Wait() && ok;

  Say("Three readers hold reader levels; a writer now asks to write and must wait for them.");
  threads.emplace_back([&] {
    manager.BeginWriter("demo writer");
    writerIn.CountDown();
    releaseWriter.Wait();
    manager.EndWriter("demo writer");
  });
  ok = WriterIsWaiting(manager) && ok;
  manager.PrintStatus();

  Say("The readers leave; the writer gets in and writes.");
  releaseReaders.CountDown();
  ok = writerIn.Wait() && ok;
  manager.PrintStatus();

  releaseWriter.CountDown();
  releaseWorker.CountDown();
  for (std::thread& t : threads) t.join();
  Say("Everybody has left.");
  manager.PrintStatus();
  if (smp_io* console = GetConsole()) console->flush();
  return ok ? 0 : 1;
}

}  // namespace

// Runs the scenario, starting the module for it when the caller has not.
// Returns 0 when every step happened in time.
int RunThreadManagerScenario() {
  const bool startHere = ZnIsStarted() == 0;
  if (startHere) ___ZnExtendedContext(1);
  const int result = RunScenario();
  if (startHere) ___ZnExtendedContext(0);
  return result;
}

// Demo scenario: a pool of Thread workers counts the words of a text into one
// shared ZnHashTable guarded by a ZnMTObj.
//
// Every word a worker handles is one job, admitted through a
// ZnLockableResourceWatcher. Half-way through, the main thread drains the
// pool: WaitForZero closes the gate and returns once no job is in flight, so
// the table is consistent at that moment (every admitted word is counted)
// and the workers, refused, finish. The main thread checks the table, reopens
// the gate with Reset and starts the same Thread objects again to count the
// rest. At the end every word's count must match a count made on one thread.
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "re5zor4/module.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/schedule.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/znhash.h"
#include "re5zor4/znmtobj.h"
#include "re5zor4/znthread.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kPollMs = 1;
constexpr int kPollLimit = 10000;  // 10 s

const char* const kText[] = {"the",   "quick", "brown", "fox",  "jumps", "over",   "the",
                             "lazy",  "dog",   "and",   "the",  "dog",   "sleeps", "while",
                             "the",   "fox",   "runs",  "over", "the",   "hill",   "a",
                             "quick", "end",   "to",    "a",    "lazy",  "day"};
constexpr int kTextWords = static_cast<int>(sizeof kText / sizeof kText[0]);
constexpr int kRepeat = 40;  // the text is counted this many times over
constexpr int kJobMs = 1;    // the time a job takes besides counting
constexpr int kJobs = kTextWords * kRepeat;

// What the workers share.
struct Pool {
  ZnHashTable table{ZnHashTable::kTextKey, nullptr};
  ZnMTObj tableLock;
  ZnLockableResourceWatcher jobs;  // jobs in flight; closed while draining
  ZnResourceWatcher workers;       // Thread::resources of every worker
  std::atomic<int> next{0};        // the next job to hand out
  std::atomic<int> done{0};        // jobs completed
};

// Counts one word under the table's section: the read and the write form one
// step for the other workers.
void CountWord(Pool& pool, const char* word) {
  ZnAutoSync hold(&pool.tableLock);
  const auto count = reinterpret_cast<uintptr_t>(pool.table.GetValue(word, &pool.tableLock));
  pool.table.ChangeValue(word, reinterpret_cast<void*>(count + 1), 1, 1, &pool.tableLock);
}

class Worker : public Thread {
 public:
  Worker() : Thread("pool worker", "demo", 0) {}

  // Takes jobs until they run out or the gate refuses; returns how many it
  // did in this run.
  int Work(void* arg) override {
    Pool& pool = *static_cast<Pool*>(arg);
    int handled = 0;
    for (;;) {
      if (pool.jobs.IncrementCounter() < 0) break;  // closed: the pool drains
      const int job = pool.next.fetch_add(1);
      if (job >= kJobs) {
        pool.jobs.DecrementCounter();
        break;
      }
      CountWord(pool, kText[job % kTextWords]);
      ZnThreadSwitchWithDelay(kJobMs);
      pool.done.fetch_add(1);
      ++handled;
      pool.jobs.DecrementCounter();
    }
    return handled;
  }
};

uintptr_t TableTotal(const ZnHashTable& table) {
  uintptr_t total = 0;
  ZnHashIterator it;
  for (ZnHashEntry* e = table.FirstEntry(it); e != nullptr; e = table.NextEntry(it)) {
    total += reinterpret_cast<uintptr_t>(table.GetValue(*e));
  }
  return total;
}

bool StartAll(Worker* workers, Pool& pool) {
  bool ok = true;
  for (int i = 0; i < kWorkers; ++i) {
    workers[i].resources = &pool.workers;
    ok = workers[i].Start(&pool) == 0 && ok;
  }
  return ok;
}

int HandledBy(const Worker* workers) {
  int sum = 0;
  for (int i = 0; i < kWorkers; ++i) sum += workers[i].result;
  return sum;
}

int RunScenario() {
  smp_io& out = *GetConsole();
  out << "== Thread pool over a lockable watcher and a shared hash table" << endl;
  bool ok = true;
  Pool pool;
  Worker workers[kWorkers];

  out << kWorkers << " workers count " << kJobs << " words" << endl;
  ok = StartAll(workers, pool) && ok;
  int polls = 0;
  while (pool.done.load() < kJobs / 2 && pool.next.load() < kJobs && polls++ < kPollLimit) {
    ZnThreadSwitchWithDelay(kPollMs);
  }

  // Drain: from here no job is admitted; WaitForZero returns when the jobs in
  // flight are done.
  const int drained = pool.jobs.WaitForZero(0);
  const int doneAtDrain = pool.done.load();
  const uintptr_t totalAtDrain = TableTotal(pool.table);
  out << "drained (" << drained << "): " << doneAtDrain << " of " << kJobs
      << " words counted, table total " << static_cast<unsigned long>(totalAtDrain) << endl;
  ok = drained == INT_MIN && ok;
  ok = totalAtDrain == static_cast<uintptr_t>(doneAtDrain) && ok;
  ok = pool.jobs.IncrementCounter() == -1 && ok;  // still closed
  pool.workers.WaitForZero(0);
  ok = HandledBy(workers) == doneAtDrain && ok;

  // Reopen and let the same Thread objects finish the text.
  pool.jobs.Reset();
  out << "reopened; the workers start again" << endl;
  ok = StartAll(workers, pool) && ok;
  pool.workers.WaitForZero(0);
  for (int i = 0; i < kWorkers; ++i) {
    out << "  worker " << i << ": status " << workers[i].status.load() << ", words "
        << workers[i].result << endl;
    ok = workers[i].status.load() == Thread::kFinished && ok;
  }

  // Every word counted exactly as often as it occurs.
  std::map<std::string, uintptr_t> expected;
  for (int i = 0; i < kJobs; ++i) ++expected[kText[i % kTextWords]];
  ok = pool.table.GetNum() == expected.size() && ok;
  for (const auto& word : expected) {
    const auto counted =
        reinterpret_cast<uintptr_t>(pool.table.GetValue(word.first.c_str(), &pool.tableLock));
    ok = counted == word.second && ok;
  }
  out << "table: " << static_cast<unsigned long>(pool.table.GetNum()) << " words, total "
      << static_cast<unsigned long>(TableTotal(pool.table)) << "; \"the\" counted "
      << static_cast<unsigned long>(
             reinterpret_cast<uintptr_t>(pool.table.GetValue("the", &pool.tableLock)))
      << " times" << endl;
  out << (ok ? "thread pool scenario: ok" : "thread pool scenario: FAILED") << endl;
  out.flush();
  return ok ? 0 : 1;
}

}  // namespace

// Runs the scenario, starting the module for it when the caller has not.
// Returns 0 when every check held.
int RunThreadPoolScenario() {
  const bool startHere = ZnIsStarted() == 0;
  if (startHere) ___ZnExtendedContext(1);
  const int result = RunScenario();
  if (startHere) ___ZnExtendedContext(0);
  return result;
}

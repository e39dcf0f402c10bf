// Bounded stress program for the synchronisation primitives.
//
// Rounds of one primitive mix at a time (a table below), each run for a time
// slice by 2, 4 and 8 threads, until the time budget is spent. Between rounds
// the module is stopped and started again (no other thread uses it then), and
// the deadlock-detection flag alternates, so the chain lock and the sections
// made on first use change kind. Every round ends by checking its invariants:
// exact counters, sections free, reader count 0, hash table contents exact.
// Throughout, an assertion report, a prompt, a line on the debugger channel
// or a growing "deadlock.txt" is a fault: every lock is taken in one global
// order (sections by index, then the reader/writer mutex, then the table's
// section), so no deadlock can be real and none may be reported.
//
// Usage: re5zor4_stress [--seconds N] [--threads 2,4,8] [--seed S]
//                       [--no-abort] [--skip name,...]
// where a name is a mix of the table below or one of the known faults listed
// with the hazards.
// Prints one line per fault, then one summary line; exits 0 iff no fault. A
// watchdog ends the run with exit code 2 when it overruns its budget by far
// (3 x budget + 30 s), naming the round it was stuck in.
//
// An aborted Thread's end is observed in /proc/self/task on Linux, and through an
// opened thread handle on Win32.
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#undef CreateEvent
#undef MessageBox
#undef OutputDebugString
#undef GetVersionEx
#else
#include <unistd.h>  // gettid
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "re5zor4/dldcritsect.h"
#include "re5zor4/hooks.h"
#include "re5zor4/module.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/schedule.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/znhash.h"
#include "re5zor4/znmtobj.h"
#include "re5zor4/znthread.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znassert.h"
#include "ru5red4/znconfig.h"

// The calling thread's kernel id.
static int OsThreadId() {
#if defined(_WIN32)
  return static_cast<int>(::GetCurrentThreadId());
#else
  return static_cast<int>(gettid());
#endif
}

namespace {

using Clock = std::chrono::steady_clock;

// ---- Faults, context and the watchdog ------------------------------------

std::mutex g_printMutex;
std::atomic<long> g_faults{0};
std::string g_context = "start-up";  // written by main between rounds only

void Fault(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> hold(g_printMutex);
  if (g_faults.fetch_add(1) < 100) std::printf("fault: %s: %s\n", g_context.c_str(), text);
}

void OnAssert(const char* expression, const char* file, int line) {
  Fault("ZARN_assert: %s (file %s, line %d)", expression, file, line);
}
int OnPrompt(const char* caption, const char* text, unsigned) {
  Fault("prompt \"%s\": %s", caption, text);
  return 1;  // OK: go on
}
// Condition failures are enabled on the debugger stream. A guard abandoned by
// an aborted thread is the one expected line; anything else is a fault.
void OnDebugOutput(const char* text) {
  if (std::strstr(text, "abandoned") != nullptr || std::strcmp(text, "\n") == 0) return;
  Fault("debugger channel: %.200s", text);
}

// What the watchdog names when it fires: written by main, read by it.
std::atomic<int> g_round{0}, g_mix{-1}, g_threads{0}, g_stage{0};
const char* const kStages[] = {"running", "checking", "module stop/start"};

// ---- Rounds and workers ---------------------------------------------------

struct Round {
  int number;
  int threads;
  Clock::time_point deadline;
  uint64_t seed;
  bool aborts;
  bool Running() const { return Clock::now() < deadline; }
  std::mt19937_64 Rng(int index) const {
    return std::mt19937_64(seed * 0x9E3779B97F4A7C15ull + number * 1000003ull + index);
  }
};

// Runs body(i) on n new threads that start together; returns once all ended.
template <class Body>
void RunWorkers(int n, Body body) {
  std::atomic<int> arrived{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      arrived.fetch_add(1);
      while (arrived.load() < n) std::this_thread::yield();
      body(i);
    });
  }
  for (auto& t : threads) t.join();
}

unsigned Pick(std::mt19937_64& rng, unsigned n) {
  return static_cast<unsigned>(rng() % n);
}

// ---- Sections, reader/writer mutex and hash table, nested -----------------
//
// One shared world of 6 sections (even ones plain, odd ones deadlock-
// detecting), a reader/writer mutex guarding the pair a == b, and a hash table
// guarded by a ZnMTObj. An operation takes a subset of the sections in index
// order (some twice), then reader or writer levels, then works on the table,
// and releases it all in reverse, by a single ForceRelease, or all at once
// with ReleaseAllSynchronizationObjects.

constexpr int kSections = 6, kOwnKeys = 64, kSharedKeys = 8;
const char* const kSectionNames[kSections] = {"stress s0", "stress s1", "stress s2",
                                              "stress s3", "stress s4", "stress s5"};
enum Parts : unsigned { kSect = 1, kRW = 2, kHash = 4, kChurn = 8 };

// Hazards that once broke the library, each a mix "--skip <name>" can leave
// out when hunting another fault:
//   release-while-writing: ReleaseAllSynchronizationObjects by a writer whose
//     mutex has a deadlock-detecting "RW_Exclusive". If the plain section
//     inside stayed in the chain it would be force-released first, behind the
//     wrapper's back, and two threads would write at once.
//   release-while-making: ReleaseAllSynchronizationObjects while another
//     thread makes or destroys a synchronisation object. An object linked
//     from its base constructor to its base destructor would be reached while
//     its own constructor or destructor runs.
//     Left out, no object is made or destroyed while workers run.
struct Hazard {
  const char* name;
  bool on;
};
Hazard g_releaseWhileWriting{"release-while-writing", true};
Hazard g_releaseWhileMaking{"release-while-making", true};
Hazard* const kHazards[] = {&g_releaseWhileWriting, &g_releaseWhileMaking};

struct Worker {
  int index;
  std::mt19937_64 rng;
  long ops = 0, writes = 0;
  long entries[kSections] = {};
  long sharedAdds[kSharedKeys] = {};
  std::map<uintptr_t, uintptr_t> own;  // this worker's keys in the table
  uintptr_t serial = 0;
  unsigned Next(unsigned n) { return Pick(rng, n); }
};

struct LockWorld {
  explicit LockWorld(bool textKeys)
      : text(textKeys), table(textKeys ? ZnHashTable::kTextKey : ZnHashTable::kWordKey, nullptr) {
    const int was = ZnSetDeadLockDetection(0);
    for (int i = 0; i < kSections; ++i) {
      ZnSetDeadLockDetection(i % 2);
      cs[i] = ZnCritSect::Make(kSectionNames[i]);
      if ((dynamic_cast<ZnDLDCritSect*>(cs[i]) != nullptr) != (i % 2 == 1))
        Fault("section %d made with detection %d has the wrong kind", i, i % 2);
    }
    ZnSetDeadLockDetection(was);
    int error = -1;
    rw = dynamic_cast<ZnGenRW_Mutex*>(ZnRW_Mutex::Make(&error));
    if (rw == nullptr || error != 0) Fault("ZnRW_Mutex::Make failed (%d)", error);
  }
  ~LockWorld() {
    for (ZnCritSect* c : cs) delete c;
    delete rw;
  }
  // Worker keys are (index << 8 | k) + 1, shared ones 0x10000 + j; in text
  // mode the same numbers written in hexadecimal after a 'k'.
  const char* Key(uintptr_t number, char (&buffer)[24]) const {
    if (!text) return reinterpret_cast<const char*>(number);
    std::snprintf(buffer, sizeof buffer, "k%lx", static_cast<unsigned long>(number));
    return buffer;
  }
  uintptr_t Number(const char* key) const {
    return text ? std::strtoul(key + 1, nullptr, 16) : reinterpret_cast<uintptr_t>(key);
  }

  ZnCritSect* cs[kSections];
  long counter[kSections] = {};  // guarded by cs[i]
  ZnGenRW_Mutex* rw = nullptr;
  long a = 0, b = 0;  // guarded by rw; equal whenever read
  bool text;
  ZnHashTable table;
  ZnMTObj lock;  // its section is made by the first worker to use it
};

ZnDLDCritSect* Detecting(ZnCritSect* c) {
  return dynamic_cast<ZnDLDCritSect*>(c);
}

// After a release of everything, the calling thread must hold nothing that
// can be seen from outside.
void CheckNothingHeld(LockWorld& w, ZnTLS* self, const char* after) {
  for (ZnCritSect* c : w.cs) {
    if (ZnDLDCritSect* d = Detecting(c); d != nullptr && d->owner.load() == self)
      Fault("worker still owns \"%s\" after %s", c->name, after);
  }
  if (ZnDLDCritSect* d = Detecting(w.lock.GetCriticalSection()); d && d->owner.load() == self)
    Fault("worker still owns the table's section after %s", after);
  if (w.rw->ownerId.load() == self->threadId) Fault("worker still writes after %s", after);
}

void CheckClone(LockWorld& w) {
  ZnAutoSync hold(&w.lock);  // the table stands still while it is compared
  ZnHashTable* copy = nullptr;
  if (const int rc = w.table.Clone(copy, &w.lock); rc != 0 || copy == nullptr) {
    Fault("Clone returned %d", rc);
    return;
  }
  if (copy->GetNum() != w.table.GetNum())
    Fault("clone has %lu entries, table %lu", copy->GetNum(), w.table.GetNum());
  ZnHashIterator it;
  for (ZnHashEntry* e = w.table.FirstEntry(it); e != nullptr; e = w.table.NextEntry(it)) {
    if (copy->GetValue(w.table.GetKey(*e), nullptr) != w.table.GetValue(*e))
      Fault("clone differs at key %lx", static_cast<unsigned long>(w.Number(w.table.GetKey(*e))));
  }
  delete copy;
}

// One table operation on the worker's own keys (checked against its model),
// on a shared counter (read-modify-write under an outer hold), or a clone.
void HashOp(LockWorld& w, Worker& me) {
  const ZnMTObj* lock = &w.lock;
  char buffer[24];
  const unsigned op = me.Next(16);
  if (op == 15) {
    if (me.Next(8) == 0) CheckClone(w);
    return;
  }
  if (op >= 12) {
    const unsigned j = me.Next(kSharedKeys);
    const char* key = w.Key(0x10000 + j, buffer);
    ZnAutoSync hold(lock);
    const auto v = reinterpret_cast<uintptr_t>(w.table.GetValue(key, lock));
    if (w.table.ChangeValue(key, reinterpret_cast<void*>(v + 1), 1, 1, lock) != 0)
      Fault("shared counter not stored");
    ++me.sharedAdds[j];
    return;
  }
  const uintptr_t number = (static_cast<uintptr_t>(me.index) << 8 | me.Next(kOwnKeys)) + 1;
  const char* key = w.Key(number, buffer);
  const auto it = me.own.find(number);
  const bool present = it != me.own.end();
  void* const value = reinterpret_cast<void*>(++me.serial);
  int rc = 0, want = 0;
  switch (op % 6) {
    case 0:
    case 1:  // create or replace
      rc = w.table.ChangeValue(key, value, 1, 1, lock);
      me.own[number] = me.serial;
      break;
    case 2:  // create only
      rc = w.table.ChangeValue(key, value, 1, 0, lock), want = present ? ZnHashTable::kRefused : 0;
      if (!present) me.own[number] = me.serial;
      break;
    case 3:  // replace only
      rc = w.table.ChangeValue(key, value, 0, 1, lock), want = present ? 0 : ZnHashTable::kRefused;
      if (present) it->second = me.serial;
      break;
    case 4: {
      const auto got = reinterpret_cast<uintptr_t>(w.table.GetValue(key, lock));
      if (got != (present ? it->second : 0))
        Fault("key %lx reads %lx", (unsigned long)number, (unsigned long)got);
      break;
    }
    default:
      rc = w.table.DeleteValue(key, lock), want = present ? 0 : ZnHashTable::kRefused;
      if (present) me.own.erase(it);
  }
  if (rc != want)
    Fault("table operation %u on key %lx returned %d, not %d", op % 6, (unsigned long)number, rc,
          want);
}

// Make, use and destroy a private object while others walk the chain.
void Churn(Worker& me) {
  switch (me.Next(3)) {
    case 0: {
      ZnCritSect* c = ZnCritSect::Make("stress churn");
      c->Begin(), c->Begin(), c->Exit(), c->Exit();
      delete c;
      break;
    }
    case 1: {
      Condition* c = Condition::MakeCondition("stress churn");
      if (c->Set() != 1 || c->Wait(0, ~0ul) != 1 || c->Clear() != 0) Fault("churn condition");
      delete c;
      break;
    }
    default: {
      ZnRW_Mutex* m = ZnRW_Mutex::Make(nullptr);
      const int results[] = {m->StartRW(0, 0), m->EndRW(0), m->StartRW(1, 0), m->EndRW(1)};
      if (std::any_of(std::begin(results), std::end(results), [](int rc) { return rc != 0; }))
        Fault("churn mutex refused a level");
      delete m;
    }
  }
}

void NestedOp(LockWorld& w, Worker& me, unsigned parts) {
  ZnTLS* const self = ZnTLS::GetThreadLocalStorage();
  if ((parts & kChurn) && g_releaseWhileMaking.on && me.Next(32) == 0) Churn(me);
  int depth[kSections] = {};
  if (parts & kSect) {
    unsigned mask = me.Next(64);
    if (mask == 0 && parts == kSect) mask = 1u << me.Next(kSections);
    for (int i = 0; i < kSections; ++i) {
      if ((mask & (1u << i)) == 0) continue;
      depth[i] = 1 + me.Next(2);
      for (int d = 0; d < depth[i]; ++d) w.cs[i]->Begin();
      ++w.counter[i], ++me.entries[i];
    }
  }
  int readLevels = 0, writeLevels = 0;
  if (parts & kRW) {
    if (me.Next(4) == 0) {
      writeLevels = 1 + me.Next(2);
      for (int l = 0; l < writeLevels; ++l)
        if (w.rw->StartRW(1, 0) != 0) Fault("StartRW(1) refused");
      if (w.rw->WriterLevel.load() != writeLevels || w.rw->ownerId.load() != self->threadId)
        Fault("writer sees level %ld owner %lx", w.rw->WriterLevel.load(), w.rw->ownerId.load());
      if (me.Next(2) && w.rw->StartRW(0, 0) == 0)
        readLevels = 1;  // a reader level inside the write
      ++w.a, ++w.b, ++me.writes;
    } else {
      readLevels = 1 + me.Next(3);
      for (int l = 0; l < readLevels; ++l)
        if (w.rw->StartRW(0, 0) != 0) Fault("StartRW(0) refused");
      if (w.a != w.b) Fault("reader sees a %ld, b %ld", w.a, w.b);
      if (w.rw->ownerId.load() != 0) Fault("a writer owns the mutex while a reader reads");
    }
  }
  bool outer = false;
  if (parts & kHash) {
    outer = me.Next(2) == 1;
    if (outer) w.lock.BeginCriticalSection();
    HashOp(w, me);
  }
  ++me.ops;
  if (me.Next(64) == 0 &&
      (writeLevels == 0 || g_releaseWhileWriting.on || !Detecting(w.rw->exclusive))) {
    ReleaseAllSynchronizationObjects();  // everything above, at once
    return CheckNothingHeld(w, self, "ReleaseAllSynchronizationObjects");
  }
  if (outer) w.lock.EndCriticalSection();
  for (int l = 0; l < readLevels; ++l)
    if (w.rw->EndRW(0) != 0) Fault("EndRW(0) refused");
  for (int l = 0; l < writeLevels; ++l)
    if (w.rw->EndRW(1) != 0) Fault("EndRW(1) refused");
  for (int i = kSections - 1; i >= 0; --i) {
    if (depth[i] == 0) continue;
    if (me.Next(16) != 0) {
      for (int d = 0; d < depth[i]; ++d) w.cs[i]->Exit();
      continue;
    }
    w.cs[i]->ForceRelease();  // all levels at once
    if (ZnDLDCritSect* d = Detecting(w.cs[i]); d != nullptr && d->owner.load() == self)
      Fault("\"%s\" still owned after ForceRelease", w.cs[i]->name);
  }
}

void CheckSectionFree(ZnCritSect* c, const char* what) {
  char line[256], want[256];
  std::snprintf(want, sizeof want,
                Detecting(c) ? "%s: is available" : "%s: owning count: 0; wait count: 0", c->name);
  c->GetInfo(line, sizeof line);
  if (std::strcmp(line, want) != 0) return Fault("%s at the end: \"%s\"", what, line);
  c->Begin();  // free indeed: never blocks
  c->Exit();
}

void CheckLockWorld(LockWorld& w, std::vector<Worker>& workers) {
  for (int i = 0; i < kSections; ++i) {
    long sum = 0;
    for (auto& me : workers) sum += me.entries[i];
    if (w.counter[i] != sum)
      Fault("\"%s\" counted %ld entries, expected %ld", w.cs[i]->name, w.counter[i], sum);
    CheckSectionFree(w.cs[i], w.cs[i]->name);
  }
  if (ZnCritSect* c = w.lock.GetCriticalSection()) CheckSectionFree(c, "the table's section");
  long writes = 0;
  for (auto& me : workers) writes += me.writes;
  if (w.a != writes || w.b != writes) Fault("writes: a %ld, b %ld, expected %ld", w.a, w.b, writes);
  char line[256];
  w.rw->GetInfo(line, sizeof line);
  if (w.rw->RegisteredReaders() != 0 ||
      std::strncmp(line, "Owner:0; Wx:#0; Rx:cond-val: 0;", 31) != 0) {
    Fault("mutex not free at the end: %d readers, \"%s\"", w.rw->RegisteredReaders(), line);
  } else if (w.rw->StartRW(1, 0) != 0 || w.rw->EndRW(1) != 0) {
    Fault("mutex refuses a writer at the end");
  }
  // The table holds exactly the workers' keys and the shared counts.
  std::map<uintptr_t, uintptr_t> expected;
  for (auto& me : workers) {
    expected.insert(me.own.begin(), me.own.end());
    for (int j = 0; j < kSharedKeys; ++j)
      if (me.sharedAdds[j] != 0) expected[0x10000 + j] += me.sharedAdds[j];
  }
  unsigned long seen = 0;
  ZnHashIterator it;
  for (ZnHashEntry* e = w.table.FirstEntry(it); e != nullptr; e = w.table.NextEntry(it), ++seen) {
    const uintptr_t number = w.Number(w.table.GetKey(*e));
    const auto want = expected.find(number);
    if (want == expected.end() || want->second != reinterpret_cast<uintptr_t>(w.table.GetValue(*e)))
      Fault("table entry %lx holds %p", (unsigned long)number, w.table.GetValue(*e));
  }
  if (seen != expected.size() || w.table.GetNum() != expected.size())
    Fault("table holds %lu entries (count %lu), expected %zu", seen, w.table.GetNum(),
          expected.size());
}

long RunNested(const Round& r, unsigned parts) {
  LockWorld world(r.number % 4 < 2);  // text keys in half the rounds, words in the rest
  if (!g_releaseWhileMaking.on) {     // else the first worker to use it makes it
    world.lock.BeginCriticalSection();
    world.lock.EndCriticalSection();
  }
  std::vector<Worker> workers(r.threads);
  for (int i = 0; i < r.threads; ++i) workers[i].index = i, workers[i].rng = r.Rng(i);
  RunWorkers(r.threads, [&](int i) {
    while (r.Running()) NestedOp(world, workers[i], parts);
  });
  g_stage = 1;
  CheckLockWorld(world, workers);
  long ops = 0;
  for (auto& me : workers) ops += me.ops;
  return ops;
}

long RunSections(const Round& r) {
  return RunNested(r, kSect);
}
long RunRW(const Round& r) {
  return RunNested(r, kRW);
}
long RunHash(const Round& r) {
  return RunNested(r, kHash);
}
long RunMixed(const Round& r) {
  return RunNested(r, kSect | kRW | kHash | kChurn);
}

// ---- Conditions: a counted event between producers and consumers ----------
//
// Producers Set, consumers take one unit under the guard (Wait keeping it, or
// Lock and a test). When time is up the last producer publishes the total and
// adds one more unit per consumer; a consumer whose ticket is past the total
// leaves. So every unit is taken exactly once and the value ends at 0.

long RunConditions(const Round& r) {
  std::unique_ptr<Condition> items(Condition::MakeCondition("stress items"));
  const int producers = r.threads / 2, consumers = r.threads - producers;
  std::atomic<long> produced{0}, taken{0}, total{LONG_MAX}, ops{0};
  std::atomic<int> producing{producers};
  RunWorkers(r.threads, [&](int i) {
    auto rng = r.Rng(i);
    long n = 0;
    if (i < producers) {
      while (r.Running()) {
        while (produced.load() - taken.load() > 512 && r.Running()) ZnThreadSwitch();
        if (items->Set() < 1) Fault("Set left the value below 1");
        produced.fetch_add(1), ++n;
      }
      if (producing.fetch_sub(1) == 1) {
        total = produced.load();
        for (int c = 0; c < consumers; ++c) items->Set();
      }
    } else {
      for (;;) {
        if (Pick(rng, 2) == 0) {
          const int v = items->Wait(1, ~0ul);  // returns holding the guard
          if (v < 1 || items->Clear() != v - 1) Fault("Wait(1) returned %d", v);
          if (Pick(rng, 64) == 0) ReleaseAllSynchronizationObjects();  // keeps the guard
          items->Unlock();
        } else {
          for (bool got = false; !got;) {
            items->Lock();
            if ((got = items->value > 0)) items->Clear();
            items->Unlock();
            if (!got) items->Wait(0, ~0ul);
          }
        }
        ++n;
        if (taken.fetch_add(1) >= total.load()) break;
      }
    }
    ops += n;
  });
  g_stage = 1;
  const int value = items->Lock();
  items->Unlock();
  if (value != 0 || taken != produced + consumers)
    Fault("items: value %d, taken %ld of %ld", value, taken.load(), produced.load() + consumers);
  return ops;
}

// ---- Resource watchers: a gate that drains, and zero seen by many ---------
//
// Workers pass a lockable watcher (the gate) and count a plain one (active)
// around each job; now and then one waits for active to fall to zero. Thread
// 0 closes the gate with WaitForZero, which must find no job inside, checks
// that it refuses, and reopens it.

long RunWatchers(const Round& r) {
  ZnLockableResourceWatcher gate;
  ZnResourceWatcher active;
  std::atomic<int> inside{0};
  std::atomic<long> ops{0};
  RunWorkers(r.threads, [&](int i) {
    auto rng = r.Rng(i);
    long n = 0;
    while (r.Running()) {
      if (i == 0) {
        ZnThreadSwitchWithDelay(Pick(rng, 2));
        if (const int v = gate.WaitForZero(~0ul); v != INT_MIN)
          Fault("gate WaitForZero returned %d", v);
        if (inside.load() != 0) Fault("gate drained with %d jobs inside", inside.load());
        if (gate.IncrementCounter() != -1) Fault("closed gate let a job in");
        gate.Reset();
      } else if (Pick(rng, 64) == 0) {
        if (active.WaitForZero(~0ul) != 0) Fault("active WaitForZero did not return 0");
      } else if (gate.IncrementCounter() < 0) {
        ZnThreadSwitch();  // closed: the gate drains
        continue;
      } else {
        active.IncrementCounter(), inside.fetch_add(1);
        inside.fetch_sub(1), active.DecrementCounter();
        gate.DecrementCounter();
      }
      ++n;
    }
    ops += n;
  });
  g_stage = 1;
  const int g = gate.condition->Lock(), a = active.condition->Lock();
  gate.condition->Unlock(), active.condition->Unlock();
  if ((g & 0x7FFFFFFF) != 0 || a != 0) Fault("watchers end at gate %x, active %d", g, a);
  return ops;
}

// ---- Thread objects: start, restart, abort --------------------------------
//
// The main thread keeps r.threads Thread objects busy. A run either counts
// under a deadlock-detecting section, or parks in a condition wait (released
// by a Set, or aborted), or parks in ZnSleep (always aborted). Only parked
// runs are aborted: they hold no lock. An aborted run is waited for until
// its OS thread is gone, and its count on the watcher is taken back, since an
// aborted run never counts down.

enum RunMode { kCount, kCondPark, kSleepPark };

struct ThreadWorld;

struct Slot {
  std::unique_ptr<Thread> thread;
  std::unique_ptr<Condition> wake;
  std::atomic<int> tid{0}, parked{0};
  RunMode mode = kCount;
  int iterations = 0;
  bool pending = false, released = false;
};

struct ThreadWorld {
  ZnCritSect* cs;
  long counter = 0;  // guarded by cs
  ZnResourceWatcher running;
  std::atomic<long> inits{0}, cleanups{0};
  long started = 0, finished = 0, aborted = 0, expectedCount = 0;
};

class Parker : public Thread {
 public:
  Parker(ThreadWorld* world, Slot* slot)
      : Thread("stress parker", "stress", 0), w(world), s(slot) {}
  void Init(void*) override { w->inits.fetch_add(1); }
  void Cleanup(void*) override { w->cleanups.fetch_add(1); }
  // No object with a destructor here: an aborted run unwinds through Work,
  // and under AddressSanitizer (gcc 12) a landing pad on that path can trip
  // the runtime's own check (google/sanitizers#1010). Its end is seen in
  // /proc instead.
  int Work(void*) override {
    s->tid = OsThreadId();
    if (s->mode == kCondPark) {
      s->parked = 1;
      s->wake->Wait(1, ~0ul);
      s->wake->Clear();
      s->wake->Unlock();
      return -1;
    }
    if (s->mode == kSleepPark) {
      s->parked = 1;
      ZnSleep(100000);
      return -2;  // never: it is aborted
    }
    for (int i = 0; i < s->iterations; ++i) {
      w->cs->Begin();
      ++w->counter;
      w->cs->Exit();
    }
    return s->iterations;
  }

 private:
  ThreadWorld* w;
  Slot* s;
};

bool TaskGone(int tid) {
#if defined(_WIN32)
  HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(tid));
  if (thread == nullptr) return true;
  const bool gone = ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
  ::CloseHandle(thread);
  return gone;
#else
  return !std::filesystem::exists("/proc/self/task/" + std::to_string(tid));
#endif
}

void AbortParked(ThreadWorld& w, Slot& s) {
  if (s.thread->Abort() != 0) Fault("Abort did not return 0");
  while (!TaskGone(s.tid)) ZnThreadSwitchWithDelay(1);  // unwound and gone
  if (s.thread->status.load() != Thread::kAborted)
    Fault("aborted thread has status %d", s.thread->status.load());
  w.running.DecrementCounter();  // the count the aborted run never took back
  ++w.aborted, s.pending = false;
}

void Account(ThreadWorld& w, Slot& s) {
  const int want = s.mode == kCount ? s.iterations : -1;
  if (s.thread->result != want) Fault("run returned %d, expected %d", s.thread->result, want);
  ++w.finished, s.pending = false;
}

long RunThreads(const Round& r) {
  ThreadWorld w;
  const int was = ZnSetDeadLockDetection(1);
  w.cs = ZnCritSect::Make("stress thread count");
  ZnSetDeadLockDetection(was);
  std::vector<Slot> slots(r.threads);
  for (auto& s : slots) {
    s.thread = std::make_unique<Parker>(&w, &s);
    s.thread->resources = &w.running;
    s.wake.reset(Condition::MakeCondition("stress wake"));
  }
  auto rng = r.Rng(0);
  while (r.Running()) {
    for (auto& s : slots) {
      Thread& t = *s.thread;
      if (s.pending && t.status.load() == Thread::kFinished) Account(w, s);
      if (!s.pending) {
        s.mode = static_cast<RunMode>(Pick(rng, r.aborts ? 3 : 2));
        s.iterations = static_cast<int>(Pick(rng, 200));
        if (s.mode == kCount) w.expectedCount += s.iterations;
        s.parked = s.tid = 0, s.released = false;
        t.syncObj = w.cs;  // an abort force-releases it: for the caller, a no-op
        if (const int rc = t.Start(nullptr); rc != 0) Fault("Start returned %d", rc);
        ++w.started, s.pending = true;
      } else if (s.parked.load() != 0 && !s.released) {
        if (r.aborts && (s.mode == kSleepPark || Pick(rng, 2) == 0)) {
          AbortParked(w, s);
        } else {
          s.wake->Set(), s.released = true;
        }
      }
    }
    ZnThreadSwitch();
  }
  g_stage = 1;
  for (auto& s : slots) {  // wind down: release or abort every parked run
    if (!s.pending || s.mode == kCount || s.released) continue;
    while (s.parked.load() == 0) ZnThreadSwitch();
    if (s.mode == kSleepPark)
      AbortParked(w, s);
    else
      s.wake->Set();
  }
  if (w.running.WaitForZero(~0ul) != 0) Fault("WaitForZero on the running threads");
  for (auto& s : slots) {
    if (s.pending) Account(w, s);
    while (s.tid != 0 && !TaskGone(s.tid)) ZnThreadSwitchWithDelay(1);
  }
  if (w.inits != w.started || w.cleanups != w.finished || w.started != w.finished + w.aborted)
    Fault("runs: %ld started, %ld inits, %ld finished, %ld cleanups, %ld aborted", w.started,
          w.inits.load(), w.finished, w.cleanups.load(), w.aborted);
  if (w.counter != w.expectedCount)
    Fault("threads counted %ld, expected %ld", w.counter, w.expectedCount);
  slots.clear();
  CheckSectionFree(w.cs, "the threads' section");
  delete w.cs;
  return w.started;
}

// ---- The phases and the main loop -----------------------------------------

struct Mix {
  const char* name;
  long (*run)(const Round&);
};
const Mix kMixes[] = {
    {"sections", RunSections}, {"rw", RunRW},           {"conditions", RunConditions},
    {"watchers", RunWatchers}, {"threads", RunThreads}, {"hash", RunHash},
    {"mixed", RunMixed}};
constexpr int kMixCount = sizeof kMixes / sizeof kMixes[0];

// ThreadSanitizer holds a signal back from a thread asleep in a futex wait
// until the thread wakes, so an abort, which is such a signal, never reaches
// a thread parked in a condition: no aborts in such a build.
#if defined(__SANITIZE_THREAD__)
constexpr bool kAbortsByDefault = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kAbortsByDefault = false;
#else
constexpr bool kAbortsByDefault = true;
#endif
#else
constexpr bool kAbortsByDefault = true;
#endif

struct Options {
  double seconds = 20;
  std::vector<int> threads{2, 4, 8};
  uint64_t seed = std::random_device{}();
  bool aborts = kAbortsByDefault;
  std::vector<std::string> skip;
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: re5zor4_stress [--seconds N] [--threads 2,4,8] [--seed S] [--no-abort]\n"
               "                      [--skip name,...]\n"
               "names (mixes and known faults):");
  for (const Mix& m : kMixes) std::fprintf(stderr, " %s", m.name);
  for (const Hazard* h : kHazards) std::fprintf(stderr, " %s", h->name);
  std::fprintf(stderr, "\n");
  std::exit(2);
}

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> parts;
  for (size_t start = 0, comma; start <= text.size(); start = comma + 1) {
    comma = std::min(text.find(',', start), text.size());
    if (comma > start) parts.push_back(text.substr(start, comma - start));
  }
  return parts;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--seconds" && hasValue) {
      o.seconds = std::atof(argv[++i]);
    } else if (arg == "--threads" && hasValue) {
      o.threads.clear();
      for (const auto& t : SplitCommas(argv[++i])) o.threads.push_back(std::atoi(t.c_str()));
    } else if (arg == "--seed" && hasValue) {
      o.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--no-abort") {
      o.aborts = false;
    } else if (arg == "--skip" && hasValue) {
      o.skip = SplitCommas(argv[++i]);
    } else {
      Usage();
    }
  }
  for (const auto& s : o.skip) {
    const bool mix = std::any_of(std::begin(kMixes), std::end(kMixes),
                                 [&](const Mix& m) { return s == m.name; });
    const auto hazard = std::find_if(std::begin(kHazards), std::end(kHazards),
                                     [&](const Hazard* h) { return s == h->name; });
    if (hazard != std::end(kHazards))
      (*hazard)->on = false;
    else if (!mix)
      Usage();
  }
  if (o.seconds <= 0 || o.threads.empty() ||
      std::any_of(o.threads.begin(), o.threads.end(), [](int n) { return n < 2 || n > 64; }))
    Usage();
  return o;
}

long FileSize(const char* path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<long>(size);
}

void StartModule(int round) {
  ZnSetDeadLockDetection(round % 2);  // the chain lock follows the flag
  // Reader/writer mutexes made with detection on join the wait-for graph.
  DefaultConfig(reinterpret_cast<ZnConfig*>(-1))->SetValue("debug", "rwDeadlocks", "1");
  ___ZnExtendedContext(1);
  if (ZnIsStarted() != 1) Fault("module did not start");
  GetDebugger()->level = 0x10000;  // condition failures reach the debugger channel
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  std::string threadsText;
  for (int n : o.threads) threadsText += (threadsText.empty() ? "" : "/") + std::to_string(n);

  const auto begin = Clock::now();
  std::mutex doneMutex;
  std::condition_variable doneSignal;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> hold(doneMutex);
    const auto limit = begin + std::chrono::duration<double>(3 * o.seconds + 30);
    if (doneSignal.wait_until(hold, limit, [&] { return done; })) return;
    const int mix = g_mix.load();
    std::printf(
        "stress: watchdog: stuck in round %d (%s, %d threads, %s) after %.0f s, seed %llu\n",
        g_round.load(), mix >= 0 ? kMixes[mix].name : "none", g_threads.load(),
        kStages[g_stage.load()], 3 * o.seconds + 30, static_cast<unsigned long long>(o.seed));
    std::fflush(stdout);
    std::_Exit(2);
  });

  ZARN_SetAssertHandler(&OnAssert);
  ZnSetPromptFunction(&OnPrompt);
  ZnSetDebugOutput(&OnDebugOutput);
  const long deadlockSize = FileSize("deadlock.txt");

  std::vector<int> mixes;
  for (int m = 0; m < kMixCount; ++m)
    if (std::find(o.skip.begin(), o.skip.end(), kMixes[m].name) == o.skip.end()) mixes.push_back(m);
  const size_t combos = mixes.size() * o.threads.size();
  const double slice = std::clamp(o.seconds / (3.0 * std::max<size_t>(combos, 1)), 0.02, 0.5);
  const auto end = begin + std::chrono::duration<double>(o.seconds);

  long operations = 0;
  int round = 0;
  StartModule(round);
  for (size_t step = 0; combos != 0 && (step < combos || Clock::now() < end); ++step, ++round) {
    const int mix = mixes[step % mixes.size()];
    const int threads = o.threads[step / mixes.size() % o.threads.size()];
    g_round = round, g_mix = mix, g_threads = threads, g_stage = 0;
    g_context = "round " + std::to_string(round) + " (" + kMixes[mix].name + ", " +
                std::to_string(threads) + " threads)";
    const Round r{round, threads,
                  Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(slice)),
                  o.seed, o.aborts};
    operations += kMixes[mix].run(r);
    g_stage = 2;
    ReleaseAllSynchronizationObjects();  // the main thread holds nothing: a no-op walk
    if (FileSize("deadlock.txt") != deadlockSize) Fault("\"deadlock.txt\" was written");
    ___ZnExtendedContext(0);
    if (ZnIsStarted() != 0) Fault("module did not stop");
    StartModule(round + 1);
  }
  g_context = "shut-down";
  ___ZnExtendedContext(0);
  {
    std::lock_guard<std::mutex> hold(doneMutex);
    done = true;
  }
  doneSignal.notify_one();
  watchdog.join();

  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const long faults = g_faults.load();
  if (faults != 0)
    std::printf("stress: seed %llu reproduces the schedule of rounds\n",
                (unsigned long long)o.seed);
  std::printf("stress: operations %ld, threads %s, seconds %.1f, faults %ld\n", operations,
              threadsText.c_str(), seconds, faults);
  return faults == 0 ? 0 : 1;
}

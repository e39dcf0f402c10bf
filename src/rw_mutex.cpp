// The recursive reader/writer mutex. Contract and state tables: rw_mutex.h.
//
// The writer drain.
//
// The problem. A writer must wait until every thread that reads has released its last level; new
// readers must not be able to keep it out for ever; and reading must stay cheap, since most first
// reader levels meet no writer at all.
//
// The chosen way. A writer takes "RW_Exclusive" and keeps it for its whole write. A thread taking
// its first reader level passes through the same section and counts itself up inside it, so once a
// writer holds the section the count can only fall, and the writer waits for it to reach zero.
// Counted threads nest without touching the section, so they never wait for the writer and the
// drain ends once they release. The count is the difference of two atomic words of the mutex:
//
//   added_     the first levels counted in so far; written only by the holder of the section
//              (COUNT_RISES_UNDER_EXCLUSIVE), so a load and a store, no read-modify-write
//   removed_   bits 0 to 61: the threads counted out so far (any thread, atomic add);
//              bit 62, kWatched: set for good when the mutex takes part in deadlock detection
//              (graph_), so that a count-out learns it from the add it makes anyway;
//              bit 63, kDraining: set while a writer waits for the count to reach zero
//
// count = added_ - (removed_ without the two flags). Neither word wraps in practice (2^62
// levels).
// A first reader level costs one plain store inside the section, a last release one atomic add.
// The condition "RW_Readers" (logic ReaderCounter: wait while its value is not 0) is used only
// while a writer drains: under the condition's guard the writer sets kDraining and copies the
// count into the condition's value in one step (the fetch_or gives removed_ at that instant, and
// added_ cannot move while the writer holds the section), then waits on the condition; a last
// release whose add finds kDraining set counts the condition down once (Set), which wakes the
// writer to test again.
//
// Invariants, cited where they are kept:
//   READERS_COUNTED_ONCE  the count equals the number of threads whose record has `registered`
//     set; flag and count change together (Register, Deregister), so a thread is counted at most
//     once and counted down exactly once, in every order of releases.
//   COUNT_RISES_UNDER_EXCLUSIVE  only a thread that holds "RW_Exclusive" adds to the count, so a
//     writer that holds it sees the count only fall.
//   DRAIN_FLAG_OWNED_BY_DRAINER  kDraining is set and cleared only by the holder of "RW_Exclusive",
//     inside Drain, and is clear again before Drain returns; so it is clear whenever no thread is
//     in Drain, and a holder of the section that counts out never touches the condition.
//   DRAIN_FLAG_MATCHES_CONDITION  while kDraining is set, the condition's value is the number of
//     threads counted when it was set that have not yet counted down on the condition; a count-out
//     that finds kDraining set is followed by exactly one Set, one that finds it clear by none.
//     Outside a drain the value is not kept up to date, and only GetInfo writes it.
//   WRITER_HOLDS_EXCLUSIVE  a thread has writer levels exactly while it holds "RW_Exclusive"
//     (once); only that thread writes ownerId and WriterLevel.
//
// The awkward orders of READERS_COUNTED_ONCE: a thread that wrote first and took reader levels
// inside its write is not counted; when it lowers to reader it counts up before it leaves the
// section, or the next writer would not wait for it. A counted reader that propagates after OK
// stays counted through its write and counts down with its last level of either mode, so
// ForceRelease (reader levels first) balances. After Cancel it counts itself down before it drains,
// since waiting for its own registration would never end; it is then an uncounted writer.
//
// Rejected: a per-mutex table of holders (a lock on every nested level, and the per-thread record
// already answers "what do I hold"); counting in the condition on every first level (several guard
// round trips, measured about ten times the cost of a std::shared_mutex read lock); a Set on every
// last release (a guarded signal per reader, though almost always nobody drains).
//
// Not guaranteed: fairness between writers, or between a writer and first readers queued on the
// section; a bound on the drain while counted readers keep holding; progress for a counted reader
// that asks to write while another writer drains: it queues on the section that writer holds, and
// the writer waits for its last release.
//
// Deadlock detection. The writer's wait is on the condition, not on a section, so the sections'
// walk alone does not see it. With detection on (graph_, dldcritsect.h) the mutex lists its counted
// threads beside the count (flag, count and list change together on the counting thread, the list
// under the bookkeeping lock), posts a drain for the walk while it waits, and posts the waits for
// "RW_Exclusive" so that the report names the mutex. Without detection all of this costs the
// first-reader-level and writer paths one test of graph_, and the count-out none (kWatched shares
// the test of kDraining).
#include "re5zor4/rw_mutex.h"

#include <cstdio>
#include <new>

#include "core/chain.h"
#include "core/contention.h"
#include "core/lock_order.h"
#include "core/seam.h"
#include "core/thread_record.h"
#include "dldcritsect.h"
#include "re5zor4/condition.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znassert.h"

namespace {

const char kMutexName[] = "RW_Mutex";
const char kExclusiveName[] = "RW_Exclusive";
const char kReadersName[] = "RW_Readers";

const char kAssertFile[] = "src\\rw_mutex";
const char kWriterLevelExpression[] = "this->WriterLevel == ThreadWriterRecLevel";
const int kWriterLevelLineStart = 263;
const int kWriterLevelLineEnd = 299;

const char kPromptCaption[] = "ZARN RW_Mutex";
const char kPropagationText[] = "IMPLICIT PROPAGATION READER->WRITER \n(CANCEL to Debug)";
const char kLoweringText[] = "IMPLICIT LOWERING WRITER->READER";
// MB_OKCANCEL | MB_SETFOREGROUND, and MB_OK | MB_SETFOREGROUND.
const unsigned kPropagationStyle = 0x00010001;
const unsigned kLoweringStyle = 0x00010000;

const unsigned long kInfinite = 0xFFFFFFFFul;

// state: reader level in bits 0 to 15, writer level in bits 16 to 31.
const uint32_t kLevelMax = 0xFFFF;
uint32_t ReaderLevel(uint32_t state) {
  return state & 0xFFFF;
}
uint32_t WriterLevelOf(uint32_t state) {
  return state >> 16;
}
uint32_t MakeState(uint32_t reader, uint32_t writer) {
  return (reader & 0xFFFF) | (writer << 16);
}

// removed_: the threads counted out (bits 0 to 61), kWatched (bit 62) and the drain flag (bit 63);
// see the design comment above.
const uint64_t kDraining = uint64_t{1} << 63;
const uint64_t kWatched = uint64_t{1} << 62;
const uint64_t kCountMask = kWatched - 1;

// --- the calling thread's records ---------------------------------------------

// Every lookup of the calling thread's storage goes through here.
ZnTLS* ThreadRecord() {
  re5zor4::ThreadRecord* record = re5zor4::thread_record::Find();
  return record != nullptr ? &record->tls : ZnTLS::GetThreadLocalStorage();
}

using re5zor4::thread_record::DropRw;
using re5zor4::thread_record::FindRw;
using re5zor4::thread_record::MakeRw;

}  // namespace

// The operations behind ZnGenRW_Mutex's interface. Not exported, so that the
// calls between them are direct and may be inlined.
class ZnRWMutexCore {
 public:
  // The number of counted threads now. Exact for the holder of "exclusive" (added_ cannot move
  // under it); for anyone else a moment's value.
  static uint64_t Counted(const ZnGenRW_Mutex& m) {
    const uint64_t removed = m.removed_.load(std::memory_order_acquire) & kCountMask;
    return m.added_.load(std::memory_order_acquire) - removed;
  }

  static bool Usable(const ZnGenRW_Mutex& m) {
    return m.readers != nullptr && m.exclusive != nullptr;
  }

  // Counts the thread of record in. REQUIRES: it holds "exclusive" (COUNT_RISES_UNDER_EXCLUSIVE)
  // and is not counted yet (READERS_COUNTED_ONCE: flag and count change together).
  static void Register(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    if (m.graph_ != nullptr) re5zor4::rw_graph::AddReader(m.graph_, tls);
    m.added_.store(m.added_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    record->registered = 1;
  }

  // Counts the thread of record out (READERS_COUNTED_ONCE). A count-out that finds kDraining set
  // counts the condition down once; one that finds it clear leaves the condition alone
  // (DRAIN_FLAG_MATCHES_CONDITION).
  static void Deregister(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    record->registered = 0;
    const uint64_t before = m.removed_.fetch_add(1, std::memory_order_acq_rel);
    if ((before & (kDraining | kWatched)) != 0) {
      // Off the list before the drainer can wake: it never follows a thread that has left.
      if ((before & kWatched) != 0) re5zor4::rw_graph::RemoveReader(m.graph_, tls);
      if ((before & kDraining) != 0) m.readers->Set();
    }
  }

  // Returns when no thread is counted any more. REQUIRES: the caller holds
  // "exclusive", so that nobody counts up meanwhile.
  static void Drain(ZnGenRW_Mutex& m, ZnTLS* tls) {
    // COUNT_RISES_UNDER_EXCLUSIVE: a count of 0 stays 0 while we hold the section.
    if (Counted(m) == 0) return;
    const uint64_t start = re5zor4::contention::Now();
    // DRAIN_FLAG_MATCHES_CONDITION: flag and count move into the condition together, under the
    // guard that every count-down on the condition takes. DRAIN_FLAG_OWNED_BY_DRAINER: set here.
    m.readers->Lock();
    const uint64_t removed = m.removed_.fetch_or(kDraining, std::memory_order_acq_rel);
    m.readers->value =
        static_cast<int>(m.added_.load(std::memory_order_relaxed) - (removed & kCountMask));
    m.readers->Unlock();
    // With detection: the drain is posted, and searched from, before it waits.
    re5zor4::rw_graph::Wait drain{tls, re5zor4::rw_graph::EdgeKind::kDrain, m.graph_};
    const bool reported = m.graph_ != nullptr && re5zor4::rw_graph::BeginDrain(&drain);
    // The guard is left: Wait REQUIRES it not held.
    m.readers->Wait(0, kInfinite);
    if (m.graph_ != nullptr) re5zor4::rw_graph::EndDrain(&drain, reported);
    // DRAIN_FLAG_OWNED_BY_DRAINER: cleared before returning. Every thread in the copied count has
    // counted out, and nobody has added since, so the count is 0 as well.
    m.removed_.fetch_and(~kDraining, std::memory_order_acq_rel);
    re5zor4::contention::Record(m.drainContention, start);
  }

  static int StartReader(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    if (record != nullptr && record->state != 0) {
      // Any level held already: nest without blocking and without counting, so a counted
      // thread never waits for a draining writer.
      if (ReaderLevel(record->state) == kLevelMax) {
        ZARN_assert("ThreadReaderRecLevel < 0xFFFF", kAssertFile, __LINE__);
        return -1;
      }
      record->state += 1;
      return 0;
    }
    if (!Usable(m)) return -1;
    if (record == nullptr) record = MakeRw(tls, &m);
    if (record == nullptr) return -1;

    // Register: pass through the section, so that a writer holding it keeps new readers out,
    // and count up while inside it (COUNT_RISES_UNDER_EXCLUSIVE).
    // Only a reader that finds the section taken queues, and only a queued one
    // is counted in waitingReaders: the uncontended pass costs no counter.
    if (m.exclusive->TryBegin() == 0) {
      m.waitingReaders.fetch_add(1, std::memory_order_relaxed);
      if (m.graph_ != nullptr) {
        re5zor4::rw_graph::EnterExclusive(m.graph_, tls, re5zor4::rw_graph::EdgeKind::kRead);
      } else {
        m.exclusive->Begin();
      }
      m.waitingReaders.fetch_sub(1, std::memory_order_relaxed);
    }
    Register(m, tls, record);
    m.exclusive->Exit();
    record->state = 1;
    return 0;
  }

  static int StartWriter(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    const uint32_t state = record != nullptr ? record->state : 0;
    const uint32_t writer = WriterLevelOf(state);
    if (writer == kLevelMax) {
      ZARN_assert("ThreadWriterRecLevel < 0xFFFF", kAssertFile, __LINE__);
      return -1;
    }
    if (writer == 0) {
      if (!Usable(m)) return -1;
      if (record == nullptr) record = MakeRw(tls, &m);
      if (record == nullptr) return -1;
      bool drain = true;
      if (state != 0) {
        // Reader levels only: implicit propagation.
        if (re5zor4::port::MessageBox(kPropagationText, kPromptCaption, kPropagationStyle) ==
            re5zor4::port::kPromptCancel) {
          re5zor4::port::DebugBreak();
        } else {
          drain = false;
        }
      }
      m.waitingWriters.fetch_add(1, std::memory_order_relaxed);
      // WRITER_HOLDS_EXCLUSIVE from here to the last EndRW(1).
      if (m.graph_ == nullptr) {
        m.exclusive->Begin();
      } else if (m.exclusive->TryBegin() == 0) {
        re5zor4::rw_graph::EnterExclusive(m.graph_, tls, re5zor4::rw_graph::EdgeKind::kWrite);
      }
      if (drain) {
        // A counted thread that drains (Cancel on the prompt) must not wait for itself: it counts
        // out first (READERS_COUNTED_ONCE).
        if (record->registered != 0) Deregister(m, tls, record);
        Drain(m, tls);
      }
      m.waitingWriters.fetch_sub(1, std::memory_order_relaxed);
      m.ownerId.store(tls->threadId, std::memory_order_relaxed);
      re5zor4::lock_order::Taken(re5zor4::thread_record::FromTls(tls), &m, m.name,
                                 re5zor4::lock_order::kRwMutexKind);
    }
    if (static_cast<long>(writer) != m.WriterLevel.load(std::memory_order_relaxed)) {
      ZARN_assert(kWriterLevelExpression, kAssertFile, kWriterLevelLineStart);
    }
    record->state = MakeState(ReaderLevel(state), writer + 1);
    m.WriterLevel.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }

  static int EndReader(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    if (record == nullptr || ReaderLevel(record->state) == 0) {
      if (Usable(m)) ZARN_assert("ThreadReaderRecLevel > 0", kAssertFile, __LINE__);
      return -1;
    }
    record->state -= 1;
    if (record->state == 0) {
      // The thread's last level of any kind: a counted thread counts down (READERS_COUNTED_ONCE).
      if (record->registered != 0) Deregister(m, tls, record);
      DropRw(tls, record);
    }
    return 0;
  }

  static int EndWriter(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    const uint32_t writer = record != nullptr ? WriterLevelOf(record->state) : 0;
    if (writer == 0) {
      if (Usable(m)) ZARN_assert("ThreadWriterRecLevel > 0", kAssertFile, __LINE__);
      return -1;
    }
    const long level = m.WriterLevel.fetch_sub(1, std::memory_order_relaxed) - 1;
    if (static_cast<long>(writer - 1) != level) {
      ZARN_assert(kWriterLevelExpression, kAssertFile, kWriterLevelLineEnd);
    }
    const uint32_t state = MakeState(ReaderLevel(record->state), writer - 1);
    if (writer == 1) {
      // The thread stops being the writer.
      if (state != 0) {
        re5zor4::port::MessageBox(kLoweringText, kPromptCaption, kLoweringStyle);
        // It goes on reading: it must be counted before the section opens to the next writer, who
        // would otherwise not wait for it (COUNT_RISES_UNDER_EXCLUSIVE, READERS_COUNTED_ONCE).
        if (record->registered == 0) Register(m, tls, record);
      } else if (record->registered != 0) {
        // A reader that propagated and released its reader levels first (READERS_COUNTED_ONCE).
        Deregister(m, tls, record);
      }
      m.ownerId.store(0, std::memory_order_relaxed);
      // WRITER_HOLDS_EXCLUSIVE: the section goes with the last writer level.
      m.exclusive->Exit();
      re5zor4::lock_order::Released(&m);
    }
    record->state = state;
    if (state == 0) DropRw(tls, record);
    return 0;
  }
};

// ---------------------------------------------------------------------------
// ZnRW_Mutex: the interface's do-nothing body.

ZnRW_Mutex::ZnRW_Mutex() : ZnSynchroObj(kMutexName) {}

ZnRW_Mutex::ZnRW_Mutex(const char* name) : ZnSynchroObj(name) {}

ZnRW_Mutex::~ZnRW_Mutex() = default;

void ZnRW_Mutex::ForceRelease() {}

int ZnRW_Mutex::StartRW(int, unsigned long) {
  return 0;
}

int ZnRW_Mutex::EndRW(int) {
  return 0;
}

void ZnRW_Mutex::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return;
  snprintf(buffer, static_cast<size_t>(capacity), "%s", "Owner:??; Wx:??; Rx:??");
}

ZnRW_Mutex* ZnRW_Mutex::Make(int* error) {
  ZnGenRW_Mutex* mutex = re5zor4::seam::New<ZnGenRW_Mutex>();
  if (error != nullptr) {
    *error = mutex != nullptr && ZnRWMutexCore::Usable(*mutex) ? 0 : -1;
  }
  return mutex;
}

// ---------------------------------------------------------------------------
// ZnGenRW_Mutex

ZnGenRW_Mutex::ZnGenRW_Mutex()
    : ZnRW_Mutex(re5zor4::chain::DeferLink(kMutexName)),
      readers(nullptr),
      exclusive(nullptr),
      WriterLevel(0),
      ownerId(0),
      waitingReaders(0),
      waitingWriters(0),
      drainContention{{0}, {0}, {0}},
      added_(0),
      removed_(0),
      graph_(nullptr) {
  // The inner objects leave the chain whatever the registration switch says:
  // ReleaseAllSynchronizationObjects reaches them only through this mutex's
  // ForceRelease, level by level.
  exclusive = ZnCritSect::Make(kExclusiveName);
  if (exclusive != nullptr) re5zor4::chain::Unlink(exclusive);
  readers = Condition::MakeCondition(kReadersName);
  if (readers != nullptr) {
    re5zor4::chain::Unlink(readers);
    readers->logic = ReaderCounter::Instance();
    readers->value = 0;
  }
  if (!ZnRWMutexCore::Usable(*this)) {
    ZARN_assert("(exclusive != 0) && (readers != 0)", kAssertFile, __LINE__);
  } else {
    graph_ = re5zor4::rw_graph::NewReaderSet(this, exclusive);
    if (graph_ != nullptr) removed_.store(kWatched, std::memory_order_relaxed);
  }
  re5zor4::chain::Register(this);
}

ZnGenRW_Mutex::~ZnGenRW_Mutex() {
  re5zor4::chain::Unregister(this);
  re5zor4::lock_order::Forget(this);
  re5zor4::rw_graph::DeleteReaderSet(graph_);
  graph_ = nullptr;
  delete exclusive;
  delete readers;
  exclusive = nullptr;
  readers = nullptr;
  WriterLevel.store(0, std::memory_order_relaxed);
  ownerId.store(0, std::memory_order_relaxed);
}

int ZnGenRW_Mutex::StartRW(int mode, unsigned long) {
  ZnTLS* tls = ThreadRecord();
  _ZnRW_Record* record = FindRw(tls, this);
  if (mode != 0) return ZnRWMutexCore::StartWriter(*this, tls, record);
  // Fast path: a further reader level of a thread that holds levels; never blocks, never counts.
  if (record != nullptr && record->state != 0 && ReaderLevel(record->state) != kLevelMax) {
    record->state += 1;
    return 0;
  }
  return ZnRWMutexCore::StartReader(*this, tls, record);
}

int ZnGenRW_Mutex::EndRW(int mode) {
  ZnTLS* tls = ThreadRecord();
  _ZnRW_Record* record = FindRw(tls, this);
  if (mode != 0) return ZnRWMutexCore::EndWriter(*this, tls, record);
  // Fast path: a reader level that is not the thread's last level.
  if (record != nullptr && ReaderLevel(record->state) > 1) {
    record->state -= 1;
    return 0;
  }
  return ZnRWMutexCore::EndReader(*this, tls, record);
}

void ZnGenRW_Mutex::ForceRelease() {
  ZnTLS* tls = ThreadRecord();
  _ZnRW_Record* record = FindRw(tls, this);
  if (record == nullptr) return;
  const uint32_t state = record->state;
  for (uint32_t i = ReaderLevel(state); i > 0; --i) EndRW(0);
  for (uint32_t i = WriterLevelOf(state); i > 0; --i) EndRW(1);
  // A record left with state 0 (made by asking for the state's address
  // alone) goes as well.
  if (state == 0) DropRw(tls, record);
}

int ZnGenRW_Mutex::RegisteredReaders() const {
  return static_cast<int>(ZnRWMutexCore::Counted(*this));
}

void ZnGenRW_Mutex::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return;
  char readersText[256] = "(no condition)";
  char exclusiveText[256] = "(no section)";
  if (readers != nullptr) {
    // DRAIN_FLAG_MATCHES_CONDITION: outside a drain the condition's value is not kept up to date,
    // so give it the live count first (under its guard, which Drain takes to set the flag).
    // During a drain it holds the threads still awaited: the live count, give or take a thread
    // between its count-out and its Set.
    readers->Lock();
    if ((removed_.load(std::memory_order_acquire) & kDraining) == 0) {
      readers->value = static_cast<int>(ZnRWMutexCore::Counted(*this));
    }
    readers->GetInfo(readersText, sizeof readersText);
    readers->Unlock();
  }
  if (exclusive != nullptr) exclusive->GetInfo(exclusiveText, sizeof exclusiveText);
  snprintf(buffer, static_cast<size_t>(capacity),
           "Owner:%ld; Wx:#%ld; Rx:%s; Cond:%s, wait_rd #%ld, wait_wr #%ld",
           static_cast<long>(ownerId.load(std::memory_order_relaxed)),
           WriterLevel.load(std::memory_order_relaxed), readersText, exclusiveText,
           waitingReaders.load(std::memory_order_relaxed),
           waitingWriters.load(std::memory_order_relaxed));
}

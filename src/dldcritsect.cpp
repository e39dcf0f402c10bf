// The deadlock-detecting critical section.
//
// How the bookkeeping stays sound. All of it is serialised on the
// CritSectCritSect (the bookkeeping lock below), under these invariants:
//
//   OWNER_SET_BEFORE_WAITING: a thread stores itself as owner, with or
//     without the lock, before it records any wait, and records waits only
//     under the lock; so a walker under the lock sees the owner of every
//     section held by a thread recorded as waiting. A section whose owner it
//     can't see yet is held by a thread that waits for nothing, which ends a
//     chain anyway: no cycle is missed, and none is made up. The final Exit
//     clears owner without the lock: a null store can only cut a wait chain,
//     never make one.
//   WAIT_RECORDED_UNDER_LOCK: a thread's waitingFor changes only under the
//     bookkeeping lock, and only by that thread. A thread recorded as waiting
//     is blocked, so it cannot run Exit: the chain of a detected deadlock (all
//     of whose threads wait) stays as it is while the report is written.
//   WAITERS_COUNTED: waitCount changes only under the bookkeeping lock and
//     counts exactly the threads recorded as waiting for the section.
//   NEVER_BLOCK_UNDER_LOCK: no thread waits for an implementation while it
//     holds the bookkeeping lock. Under the lock the implementation is only
//     tried; a holder stopped between clearing owner and leaving the
//     implementation therefore stalls nobody but the threads that want that
//     section.
//   RECORDS_OUTLIVE_READERS: a record named as owner is kept alive (its
//     heldSections counts the section from taking ownership to releasing
//     it), and a record is freed only under the bookkeeping lock (see
//     core/thread_record.h), so whoever reads records through owner fields
//     under the lock (the walk, the report, GetInfo) never reads a freed one.
//     A section held by a thread that ended stays held and keeps naming it.
//     A thread counted as reader of a mutex with detection is kept alive the
//     same way while listed (rw_graph::AddReader, below).
//
// Begin of a thread R that does not hold the section S:
//   1. Without the lock: when S has no recorded waiter, try the
//      implementation; on success R owns S (the fast path: a free section
//      costs no bookkeeping lock).
//   2. Otherwise, under the lock: try once more (a holder may just have
//      left), else count R as waiter, walk the wait chain
//      from S (dldcritsect.h). If it comes back to R, write the deadlock
//      report, the status line and the prompt. If it ends at a holder whose
//      thread has ended, write the report of that: nobody will ever release
//      what it holds. Record R's wait.
//   3. Block on the implementation, without the lock.
//   4. Under the lock: undo the wait, become the owner.
// Detection never changes the outcome of Begin: R waits all the same.
//
// Alternatives rejected: entering the implementation under the lock when it
// looks free (a holder in its final Exit, stopped between its two stores,
// would stall every detecting section of the process); taking the lock on
// every Begin (it doubled the cost of an uncontended pair); a registry of
// readers that the final Exit waits for (the lifetime rule above makes it
// needless).
#include "re5zor4/dldcritsect.h"

#include <cstdio>
#include <mutex>

#include "core/chain.h"
#include "core/lock_order.h"
#include "core/seam.h"
#include "core/settings.h"
#include "core/thread_record.h"
#include "dldcritsect.h"
#include "port_inline.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/schedule.h"
#include "re5zor4/smp_io.h"
#include "ru5red4/znassert.h"

namespace {

using re5zor4::SectionHold;
using re5zor4::ThreadRecord;
namespace thread_record = re5zor4::thread_record;

const char kCaption[] = "ZARN Critical Section";
const char kDetected[] = "Deadlock detected\n(CANCEL to debug)";
const char kFalselyDetected[] = "Deadlock falsely detected";
const char kSourceName[] = "src\\dldcritsect";
constexpr unsigned kOkCancelForeground = 0x10001;
constexpr unsigned kOkForeground = 0x10000;
constexpr int kStatusLineSize = 1024;

// "csSleepTime", read by the first construction in the process. Zero or less
// means no delay.
std::once_flag g_sleep_time_once;
std::atomic<int> g_sleep_time{0};

void ReadSleepTimeOnce() {
  std::call_once(g_sleep_time_once, [] {
    int value = 0;
    re5zor4::settings::CsSleepTime(&value);
    g_sleep_time.store(value, std::memory_order_relaxed);
  });
}

// A section made or used while the module is not started has no bookkeeping
// lock and detects nothing; the host is told once for each.
std::atomic<bool> g_madeUnstartedTold{false};
std::atomic<bool> g_usedUnstartedTold{false};

void TellUnstarted(std::atomic<bool>& told, const char* name, const char* what) {
  if (told.exchange(true, std::memory_order_relaxed)) return;
  char line[256];
  std::snprintf(line, sizeof line,
                "re5zor4: deadlock-detecting section \"%s\" %s while the module is not started: "
                "no deadlock detection until start-up",
                name != nullptr ? name : "(null)", what);
  re5zor4::port::OutputDebugString(line);
}

void CheckStarted(const ZnCritSect* section) {
  if (re5zor4::g_critSectCritSect.Get() == nullptr) {
    TellUnstarted(g_usedUnstartedTold, section->name, "used");
  }
}

// The bookkeeping lock; outside the started state there is none and this
// holds nothing.
class BookkeepingLock : public SectionHold {
 public:
  BookkeepingLock() : SectionHold(re5zor4::g_critSectCritSect.Get()) {}
};

ThreadRecord* SelfRecord() {
  ThreadRecord* record = thread_record::Find();
  return record != nullptr ? record : thread_record::FromTls(ZnTLS::GetThreadLocalStorage());
}

const char* NameOf(const ZnSynchroObj* object) {
  return object->name != nullptr ? object->name : "(null)";
}

// A counter with one writer at a time (owningCount: the holder; waitCount:
// whoever holds the bookkeeping lock) needs no read-modify-write. The words
// stay atomic for readers that take no lock.
void AddCount(std::atomic<int32_t>& count, int32_t delta) {
  count.store(count.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

enum class Chain { kOpen, kClosesCycle, kEndsAtEndedHolder };

// REQUIRES: the bookkeeping lock is held (WaitChain's requirement).
Chain Walk(const ZnDLDCritSect* section, const ZnTLS* self) {
  re5zor4::WaitChain chain(section);
  while (chain.holder() != nullptr) {
    if (thread_record::HasEnded(chain.holder())) return Chain::kEndsAtEndedHolder;
    if (!chain.Next()) return Chain::kOpen;
    if (chain.holder() == self) return Chain::kClosesCycle;
  }
  return Chain::kOpen;
}

}  // namespace

ZnDLDCritSect::ZnDLDCritSect(const char* name, ZnCritSect* implementation)
    : ZnCritSect(re5zor4::chain::DeferLink(name)), implementation(implementation), owner(nullptr) {
  ReadSleepTimeOnce();
  if (re5zor4::g_critSectCritSect.Get() == nullptr &&
      !re5zor4::g_startingUp.load(std::memory_order_relaxed)) {
    TellUnstarted(g_madeUnstartedTold, name, "made");
  }
  // The wrapper answers for its implementation: ReleaseAllSynchronization-
  // Objects must not release the implementation under a wrapper that still
  // counts the old holder.
  if (implementation != nullptr) re5zor4::chain::Unlink(implementation);
  re5zor4::chain::Register(this);
}

ZnDLDCritSect::~ZnDLDCritSect() {
  re5zor4::chain::Unregister(this);
  re5zor4::lock_order::Forget(this);
  // A section destroyed while held (its holder ended, or misuse) lets go of
  // the holder's record.
  if (ZnTLS* holder = owner.exchange(nullptr, std::memory_order_acq_rel)) {
    thread_record::ForgetHolder(thread_record::FromTls(holder));
  }
  delete implementation;
}

void ZnDLDCritSect::TakeOwnership(ThreadRecord* self) {
  thread_record::NoteTaken(self);
  owner.store(&self->tls, std::memory_order_release);
  re5zor4::lock_order::Taken(self, this, name);
}

int ZnDLDCritSect::TryBegin() {
  ThreadRecord* const self = SelfRecord();
  if (owner.load(std::memory_order_relaxed) == &self->tls) {
    AddCount(owningCount, 1);
    return 1;
  }
  CheckStarted(this);
  // OWNER_SET_BEFORE_WAITING: no lock needed; recorded waiters go first.
  if (waitCount.load(std::memory_order_relaxed) != 0 || implementation->TryBegin() == 0) return 0;
  TakeOwnership(self);
  AddCount(owningCount, 1);
  return 1;
}

void ZnDLDCritSect::Begin() {
  ThreadRecord* const self = SelfRecord();
  ZnTLS* const tls = &self->tls;
  // Only this thread stores its own record here, so the test needs no lock.
  if (owner.load(std::memory_order_relaxed) == tls) {
    AddCount(owningCount, 1);
    return;
  }

  CheckStarted(this);
  // OWNER_SET_BEFORE_WAITING lets a free section be taken without the lock;
  // recorded waiters go first.
  if (waitCount.load(std::memory_order_relaxed) == 0 && implementation->TryBegin() != 0) {
    TakeOwnership(self);
    AddCount(owningCount, 1);
    return;
  }

  bool detected = false;
  {
    BookkeepingLock lock;
    // NEVER_BLOCK_UNDER_LOCK: only try the implementation here.
    if (owner.load(std::memory_order_relaxed) == nullptr &&
        waitCount.load(std::memory_order_relaxed) == 0 && implementation->TryBegin() != 0) {
      TakeOwnership(self);
      AddCount(owningCount, 1);
      return;
    }
    // WAITERS_COUNTED: counted from here until it owns the section; the
    // status line of a detected deadlock includes this thread.
    AddCount(waitCount, 1);
    const Chain chain = Walk(this, tls);
    // A cycle through a reader/writer mutex's edges gets the mutex's report.
    const bool through_mutex = chain != Chain::kEndsAtEndedHolder &&
                               re5zor4::rw_graph::ReportCycle(this, tls, GetConsole());
    if (!through_mutex && chain != Chain::kOpen) {
      re5zor4::WriteDeadlockReport(tls, this, GetConsole());
    }
    detected = through_mutex || chain == Chain::kClosesCycle;
    if (detected) {
      char line[kStatusLineSize];
      GetInfo(line, sizeof line);
      re5zor4::port::OutputDebugString(line);
      if (re5zor4::port::MessageBox(kDetected, kCaption, kOkCancelForeground) ==
          re5zor4::port::kPromptCancel) {
        re5zor4::port::DebugBreak();
      }
    }
    tls->waitingFor = this;  // WAIT_RECORDED_UNDER_LOCK
  }

  implementation->Begin();
  if (detected) re5zor4::port::MessageBox(kFalselyDetected, kCaption, kOkForeground);

  {
    BookkeepingLock lock;
    tls->waitingFor = nullptr;
    TakeOwnership(self);  // OWNER_SET_BEFORE_WAITING
    AddCount(waitCount, -1);
  }
  AddCount(owningCount, 1);
}

void ZnDLDCritSect::Exit() {
  ZnTLS* const holder = owner.load(std::memory_order_relaxed);
  ThreadRecord* const self = thread_record::Find();
  if (holder == nullptr || self == nullptr || holder != &self->tls) {
    ZARN_assert("(this->owner == myTLS)", kSourceName, __LINE__);
    return;
  }
  const int32_t remaining = owningCount.load(std::memory_order_relaxed) - 1;
  owningCount.store(remaining, std::memory_order_relaxed);
  if (remaining != 0) return;

  const int delay = g_sleep_time.load(std::memory_order_relaxed);
  if (delay > 0) ZnThreadSwitchWithDelay(delay);

  // OWNER_SET_BEFORE_WAITING allows this store without the lock.
  owner.store(nullptr, std::memory_order_release);
  implementation->Exit();
  re5zor4::lock_order::Released(this);
  thread_record::NoteGivenBack(self);
}

int ZnDLDCritSect::HoldCount() {
  // Find, not Current: a thread without a record holds nothing, and asking
  // must not make one. Only this thread stores its own record as owner.
  const ThreadRecord* const self = thread_record::Find();
  if (self == nullptr || owner.load(std::memory_order_relaxed) != &self->tls) return 0;
  return static_cast<int>(owningCount.load(std::memory_order_relaxed));
}

int ZnDLDCritSect::DetectsDeadlocks() {
  return 1;
}

void ZnDLDCritSect::ForceRelease() {
  ThreadRecord* const self = thread_record::Find();
  if (self == nullptr || owner.load(std::memory_order_relaxed) != &self->tls) return;
  owningCount.store(0, std::memory_order_relaxed);

  BookkeepingLock lock;
  owner.store(nullptr, std::memory_order_release);
  implementation->ForceRelease();
  re5zor4::lock_order::Released(this);
  thread_record::NoteGivenBack(self);
}

void ZnDLDCritSect::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return;
  const size_t size = static_cast<size_t>(capacity);
  // RECORDS_OUTLIVE_READERS: the holder's record can't go away meanwhile.
  BookkeepingLock lock;
  const ZnTLS* const holder = owner.load(std::memory_order_acquire);
  const long owning = owningCount.load(std::memory_order_relaxed);
  const long waiting = waitCount.load(std::memory_order_relaxed);
  if (holder != nullptr && holder->waitingFor != nullptr) {
    std::snprintf(
        buffer, size,
        "%s: owning thread: 0x%x, owning count: %ld; wait count: %ld; owner waiting for %s",
        NameOf(this), static_cast<unsigned>(holder->threadId), owning, waiting,
        NameOf(holder->waitingFor));
  } else if (holder != nullptr) {
    std::snprintf(buffer, size, "%s: owning thread: 0x%x, owning count: %ld; wait count: %ld",
                  NameOf(this), static_cast<unsigned>(holder->threadId), owning, waiting);
  } else {
    std::snprintf(buffer, size, "%s: is available", NameOf(this));
  }
}

// ---------------------------------------------------------------------------
// Reader/writer mutexes in the wait-for graph (dldcritsect.h).
//
// The search. A section wait has one holder, a drain one edge per counted
// reader, so the walk becomes a depth-first search. It keeps no memory of its
// own: the stack of drains being explored is linked through the posted waits
// themselves (parent, and at: the reader followed now), and each drain is
// entered at most once per search (visit), so every search ends, and costs at
// most the posted drains' readers times the length of a chain. Between
// drains the chain has one successor per thread and is followed with Brent's
// cycle finding, as WaitChain does, so a cycle that the searching thread is
// not on ends a branch. Readers are counted in and out, and waits posted and
// taken down, only under the bookkeeping lock, which the search holds: it
// sees one picture, in which a listed reader that is leaving waits for
// nothing, so it ends a branch and can't make up a cycle.

namespace re5zor4 {
namespace rw_graph {
namespace {

Wait* g_waits = nullptr;    // the posted waits; under the bookkeeping lock
unsigned long g_visit = 0;  // the current search's mark; under the bookkeeping lock

bool Started() {
  return g_critSectCritSect.Get() != nullptr;
}

void Post(Wait* wait) {
  wait->next = g_waits;
  wait->prev = nullptr;
  if (g_waits != nullptr) g_waits->prev = wait;
  g_waits = wait;
  wait->posted = true;
}

void Unpost(Wait* wait) {
  if (!wait->posted) return;
  if (wait->prev != nullptr) {
    wait->prev->next = wait->next;
  } else {
    g_waits = wait->next;
  }
  if (wait->next != nullptr) wait->next->prev = wait->prev;
  wait->posted = false;
}

Wait* PostedWaitOf(const ZnTLS* thread) {
  for (Wait* wait = g_waits; wait != nullptr; wait = wait->next) {
    if (wait->thread == thread) return wait;
  }
  return nullptr;
}

// The edge of a thread whose wait on section is not recorded yet (the
// searching thread inside Begin).
Edge SectionEdge(const ZnDLDCritSect* section, ZnTLS* thread) {
  Edge edge;
  edge.kind = EdgeKind::kSection;
  edge.section = section;
  Wait* const wait = PostedWaitOf(thread);
  if (wait != nullptr && wait->kind != EdgeKind::kDrain && wait->set->exclusive == section) {
    edge.kind = wait->kind;
    edge.wait = wait;
  }
  return edge;
}

// The next reader of the innermost drain to follow, leaving drains whose
// readers are done; null when the search is over.
ZnTLS* NextBranch(Wait*& top) {
  while (top != nullptr) {
    const Reader* reader = top->begun ? top->at->next : top->set->head;
    while (reader != nullptr && reader->thread == top->thread) reader = reader->next;
    if (reader != nullptr) {
      top->begun = true;
      top->at = reader;
      return reader->thread;
    }
    top = top->parent;
  }
  return nullptr;
}

void Enter(Wait* drain, Wait*& top, unsigned long visit) {
  drain->visit = visit;
  drain->begun = false;
  drain->at = nullptr;
  drain->parent = top;
  top = drain;
}

// True when self is reachable from start, self's own edge. Afterwards the
// drains on the path found have their at set (CyclePath follows it).
bool Search(const Edge& start, ZnTLS* self) {
  const unsigned long visit = ++g_visit;
  Wait* top = nullptr;
  ZnTLS* thread = nullptr;
  if (start.kind == EdgeKind::kDrain) {
    Enter(start.wait, top, visit);
  } else {
    thread = start.section->owner.load(std::memory_order_acquire);
  }
  for (;;) {
    if (thread == nullptr && (thread = NextBranch(top)) == nullptr) return false;
    const ZnTLS* checkpoint = thread;
    unsigned steps = 0, span = 1;
    while (thread != self) {
      if (thread_record::HasEnded(thread)) break;
      const Edge edge = EdgeOf(thread);
      if (edge.kind == EdgeKind::kDrain) {
        if (edge.wait->visit != visit) Enter(edge.wait, top, visit);
        break;
      }
      if (edge.kind == EdgeKind::kNone) break;
      thread = edge.section->owner.load(std::memory_order_acquire);
      if (thread == nullptr || thread == checkpoint) break;
      if (++steps == span) {
        checkpoint = thread;
        span *= 2;
        steps = 0;
      }
    }
    if (thread == self) return true;
    thread = nullptr;
  }
}

bool PathHasMutexEdge(const Edge& start, ZnTLS* self) {
  CyclePath path(start, self);
  do {
    if (path.edge().kind != EdgeKind::kSection) return true;
  } while (path.Next());
  return false;
}

void Prompt() {
  if (port::MessageBox(kDetected, kCaption, kOkCancelForeground) == port::kPromptCancel) {
    port::DebugBreak();
  }
}

}  // namespace

Edge EdgeOf(ZnTLS* thread) {
  if (thread->waitingFor != nullptr) return SectionEdge(thread->waitingFor, thread);
  Edge edge;
  Wait* const wait = PostedWaitOf(thread);
  if (wait != nullptr && wait->kind == EdgeKind::kDrain) {
    edge.kind = EdgeKind::kDrain;
    edge.wait = wait;
  }
  return edge;
}

ZnTLS* Target(const Edge& edge) {
  switch (edge.kind) {
    case EdgeKind::kSection:
    case EdgeKind::kRead:
    case EdgeKind::kWrite:
      return edge.section->owner.load(std::memory_order_acquire);
    case EdgeKind::kDrain:
      return edge.wait->at != nullptr ? edge.wait->at->thread : nullptr;
    case EdgeKind::kNone:
      break;
  }
  return nullptr;
}

ReaderSet* NewReaderSet(ZnRW_Mutex* mutex, ZnCritSect* exclusive) {
  if (exclusive == nullptr || exclusive->DetectsDeadlocks() == 0 || !Started()) return nullptr;
  if (!settings::IsOn(&settings::RwDeadlocks)) return nullptr;
  ReaderSet* const set = seam::New<ReaderSet>();
  if (set == nullptr) return nullptr;
  *set = ReaderSet{mutex, exclusive, nullptr, nullptr};
  return set;
}

void DeleteReaderSet(ReaderSet* set) {
  if (set == nullptr) return;
  while (Reader* reader = set->head) {
    set->head = reader->next;
    // A reader still listed: its thread ended counted, or the mutex goes
    // while read (the caller's error); its record may go now.
    thread_record::ForgetHolder(thread_record::FromTls(reader->thread));
    delete reader;
  }
  delete set;
}

void AddReader(ReaderSet* set, ZnTLS* self) {
  BookkeepingLock lock;
  if (!Started()) return;
  Reader* const reader = seam::New<Reader>();
  if (reader == nullptr) return;  // unlisted: a cycle through it goes unseen, none is made up
  *reader = Reader{self, nullptr, set->tail};
  if (set->tail != nullptr) {
    set->tail->next = reader;
  } else {
    set->head = reader;
  }
  set->tail = reader;
  thread_record::NoteTaken(thread_record::FromTls(self));  // RECORDS_OUTLIVE_READERS
}

void RemoveReader(ReaderSet* set, ZnTLS* self) {
  BookkeepingLock lock;
  for (Reader* reader = set->head; reader != nullptr; reader = reader->next) {
    if (reader->thread != self) continue;
    (reader->prev != nullptr ? reader->prev->next : set->head) = reader->next;
    (reader->next != nullptr ? reader->next->prev : set->tail) = reader->prev;
    delete reader;
    thread_record::NoteGivenBack(thread_record::FromTls(self));
    return;
  }
}

void EnterExclusive(ReaderSet* set, ZnTLS* self, EdgeKind kind) {
  Wait wait{self, kind, set};
  {
    BookkeepingLock lock;
    if (Started()) Post(&wait);
  }
  // Begin searches, with this wait posted, and reports in the mutex's terms.
  set->exclusive->Begin();
  BookkeepingLock lock;
  Unpost(&wait);
}

bool BeginDrain(Wait* drain) {
  BookkeepingLock lock;
  if (!Started()) return false;
  Post(drain);
  Edge start;
  start.kind = EdgeKind::kDrain;
  start.wait = drain;
  if (!Search(start, drain->thread)) return false;
  WriteRwDeadlockReport(drain->thread, start, GetConsole());
  char line[kStatusLineSize];
  drain->set->mutex->GetInfo(line, sizeof line);
  port::OutputDebugString(line);
  Prompt();
  return true;
}

void EndDrain(Wait* drain, bool reported) {
  {
    BookkeepingLock lock;
    Unpost(drain);
  }
  if (reported) port::MessageBox(kFalselyDetected, kCaption, kOkForeground);
}

bool ReportCycle(const ZnDLDCritSect* section, ZnTLS* self, smp_io* console) {
  if (g_waits == nullptr) return false;
  const Edge start = SectionEdge(section, self);
  if (!Search(start, self) || !PathHasMutexEdge(start, self)) return false;
  WriteRwDeadlockReport(self, start, console);
  return true;
}

}  // namespace rw_graph
}  // namespace re5zor4

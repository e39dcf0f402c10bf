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
#include "core/settings.h"
#include "core/thread_record.h"
#include "dldcritsect.h"
#include "port_inline.h"
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
    if (chain != Chain::kOpen) re5zor4::WriteDeadlockReport(tls, this, GetConsole());
    detected = chain == Chain::kClosesCycle;
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

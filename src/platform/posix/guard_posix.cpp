// Guards and events on POSIX: the recursive, abandonable mutex and the
// auto-reset event of a condition, with the one wait that takes both.
//
// The problem. Win32 gives a mutex that knows its owner and reports its
// owner's death, an auto-reset event, and WaitForMultipleObjects, which takes
// both at once. POSIX has none of these as such.
//
// The chosen way. A guard is a small monitor: one pthread mutex protects the
// guard's owner, count and abandoned flag and the state of every event made
// for it. The mutex is held only for the few instructions of each call, never
// while a caller "owns" the guard. Because guard and signal are tested under
// one mutex, taking both at once is just a test of both.
//
// Sleeping. Every thread that must wait (for the guard alone, or for the
// guard and an event) sleeps in a futex wait on the guard's sequence word,
// read under the mutex before the mutex is let go. Whenever the guard becomes
// free or an event is signalled while someone sleeps, the word is bumped and
// every sleeper woken; each tests its own condition again under the mutex and
// sleeps again when it cannot proceed. Counters of sleepers keep a call that
// finds nobody asleep from making the system call. Waking everyone costs a
// few vain wake-ups when many wait, and buys this: no wake-up is ever owed to
// one particular sleeper, so a sleeper that vanishes cannot take one with it.
//
// Threads that vanish. A thread may be terminated anywhere (thread_control.h).
// It never dies holding the mutex: termination is held off from Lock to
// Unlock. A thread that dies asleep leaves only its count among the sleepers
// (a vain wake-up or two until repaired), and its terminator takes it out
// once it is gone (RemoveDeadSleeper). Guards it owned are freed by the
// terminator as abandoned (AbandonGuards). A pthread condition variable
// would not survive this: a waiter that dies inside pthread_cond_wait stays
// registered in it for good.
//
// Signals are sent with the mutex held. Sending them after unlocking would
// save the woken thread a short wait, but the woken thread may then take the
// guard, return, and close it (a resource watcher waited down to zero is
// deleted at once) while the releasing thread is still about to touch it.
//
// Abandonment. The owning thread keeps its guards in a list in its
// ThreadState (linked on 0 -> 1, unlinked on 1 -> 0); its end processing
// (thread_posix.cpp), or its terminator, frees what is left, marks it
// abandoned and wakes the next thread, which gets kWaitAbandoned once.
//
// Alternatives rejected: a futex word as the guard's own lock (ThreadSanitizer
// does not understand it, and the guard and the signal would need two words
// moved together); a robust pthread mutex (reports a dead owner, but it is not
// recursive together with a wait that also takes an event, and holding a
// pthread mutex across the caller's critical section would forbid the "take
// both at once" test).
//
// Not guaranteed: fairness. A thread that arrives while the guard is free
// takes it even when others sleep.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <new>

#include "platform/port.h"
#include "platform/posix/futex_posix.h"
#include "platform/posix/thread_state_posix.h"

namespace re5zor4 {
namespace port {
namespace posix {

struct EventObject;

struct GuardObject {
  HandleHeader header;
  pthread_mutex_t mutex;
  std::atomic<uint32_t> sequence;  // futex word of every sleeper; bumped to wake

  // Guarded by mutex.
  ThreadState* owner;
  unsigned long count;          // recursion level of owner; 0 while free
  bool abandoned;               // the last owner ended holding the guard
  bool closed;                  // CloseHandle came; freed with its last event
  int guard_waiters;            // sleepers in WaitGuard
  EventObject* owner_waits_on;  // the owner sleeps in WaitGuardAndEvent
  EventObject* events;          // events made for this guard

  // Links in the owner's ThreadState::owned list. Touched only by the
  // owning thread while it owns the guard (or by its terminator).
  GuardObject* prev_owned;
  GuardObject* next_owned;
};

struct EventObject {
  HandleHeader header;
  GuardObject* guard;  // fixed at creation

  // Guarded by guard->mutex.
  bool signalled;
  int waiters;  // sleepers in WaitGuardAndEvent on this event
  EventObject* next;
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word must be 32 bits");

namespace {

// Termination of self is held off while the mutex is held.
void Lock(GuardObject* guard, ThreadState* self) {
  HoldAbort(self);
  const int rc = pthread_mutex_lock(&guard->mutex);
  if (rc != 0) DieOnImpossible("pthread_mutex_lock", rc);
}

void Unlock(GuardObject* guard, ThreadState* self) {
  const int rc = pthread_mutex_unlock(&guard->mutex);
  if (rc != 0) DieOnImpossible("pthread_mutex_unlock", rc);
  AllowAbort(self);
}

GuardObject* AsGuard(Handle handle) {
  auto* header = static_cast<HandleHeader*>(handle);
  if (header == nullptr || header->kind != kGuardKind) return nullptr;
  return reinterpret_cast<GuardObject*>(header);
}

EventObject* AsEvent(Handle handle) {
  auto* header = static_cast<HandleHeader*>(handle);
  if (header == nullptr || header->kind != kEventKind) return nullptr;
  return reinterpret_cast<EventObject*>(header);
}

bool AnyoneAsleep(GuardObject* guard) {
  if (guard->guard_waiters > 0) return true;
  for (EventObject* event = guard->events; event != nullptr; event = event->next) {
    if (event->waiters > 0) return true;
  }
  return false;
}

// REQUIRES: mutex held. Wakes every sleeper to test its condition again.
void WakeAll(GuardObject* guard) {
  if (!AnyoneAsleep(guard)) return;
  guard->sequence.fetch_add(1, std::memory_order_relaxed);
  FutexWakeAll(&guard->sequence);
}

// REQUIRES: mutex held, the caller registered as a sleeper. Lets the mutex go
// while it sleeps until woken (or spuriously), and takes it back.
void Sleep(GuardObject* guard, ThreadState* self) {
  const uint32_t seen = guard->sequence.load(std::memory_order_relaxed);
  Unlock(guard, self);
  FutexWait(&guard->sequence, seen);
  Lock(guard, self);
}

// Notes where self sleeps, for its terminator (mutex held).
void NoteSleep(ThreadState* self, GuardObject* guard, int* counter, bool as_owner) {
  self->sleep_counter.store(counter, std::memory_order_relaxed);
  self->sleeping_as_owner.store(as_owner, std::memory_order_relaxed);
  self->sleeping_on.store(guard, std::memory_order_relaxed);
}

void NoteAwake(ThreadState* self) {
  self->sleeping_on.store(nullptr, std::memory_order_relaxed);
  self->sleep_counter.store(nullptr, std::memory_order_relaxed);
  self->sleeping_as_owner.store(false, std::memory_order_relaxed);
}

// REQUIRES: mutex held, guard free. Makes self the owner at level 1.
WaitResult Take(GuardObject* guard, ThreadState* self) {
  guard->owner = self;
  guard->count = 1;
  guard->prev_owned = nullptr;
  guard->next_owned = self->owned;
  if (self->owned != nullptr) self->owned->prev_owned = guard;
  self->owned = guard;
  if (!guard->abandoned) return kWaitObject0;
  guard->abandoned = false;
  return kWaitAbandoned;
}

// REQUIRES: mutex held, guard owned by owner's thread (the caller, or a
// thread that is gone). Frees the guard whatever its level and wakes the
// sleepers.
void Free(GuardObject* guard, ThreadState* owner) {
  if (guard->prev_owned != nullptr) {
    guard->prev_owned->next_owned = guard->next_owned;
  } else {
    owner->owned = guard->next_owned;
  }
  if (guard->next_owned != nullptr) guard->next_owned->prev_owned = guard->prev_owned;
  guard->prev_owned = guard->next_owned = nullptr;
  guard->owner = nullptr;
  guard->count = 0;
  guard->owner_waits_on = nullptr;
  WakeAll(guard);
}

void Destroy(GuardObject* guard) {
  guard->header.kind = kClosedKind;
  pthread_mutex_destroy(&guard->mutex);
  delete guard;
}

}  // namespace

// Runs on the thread that ends (or on its terminator, once it is gone: the
// caller's own termination is then held off by the caller's own state).
void AbandonGuards(ThreadState* state) {
  ThreadState* self = CallerState();
  while (state->owned != nullptr) {
    GuardObject* guard = state->owned;
    Lock(guard, self);
    guard->abandoned = true;
    Free(guard, state);
    Unlock(guard, self);
  }
}

void RemoveDeadSleeper(ThreadState* state) {
  GuardObject* guard = state->sleeping_on.load(std::memory_order_relaxed);
  if (guard == nullptr) return;
  ThreadState* self = CallerState();
  Lock(guard, self);
  if (int* counter = state->sleep_counter.load(std::memory_order_relaxed)) --*counter;
  // An owner asleep in WaitGuardAndEvent: its guard is abandoned next.
  if (state->sleeping_as_owner.load(std::memory_order_relaxed)) guard->owner_waits_on = nullptr;
  Unlock(guard, self);
  NoteAwake(state);
}

}  // namespace posix

using posix::AsEvent;
using posix::AsGuard;
using posix::EventObject;
using posix::GuardObject;
using posix::ThreadState;

Handle CreateGuard() {
  auto* guard = new (std::nothrow) GuardObject;
  if (guard == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const int rc = pthread_mutex_init(&guard->mutex, nullptr);
  if (rc != 0) {
    delete guard;
    errno = rc;
    return nullptr;
  }
  guard->sequence.store(0, std::memory_order_relaxed);
  guard->owner = nullptr;
  guard->count = 0;
  guard->abandoned = false;
  guard->closed = false;
  guard->guard_waiters = 0;
  guard->owner_waits_on = nullptr;
  guard->events = nullptr;
  guard->prev_owned = guard->next_owned = nullptr;
  guard->header.kind = posix::kGuardKind;
  return &guard->header;
}

Handle CreateEvent(Handle guard_handle) {
  GuardObject* guard = AsGuard(guard_handle);
  if (guard == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  auto* event = new (std::nothrow) EventObject;
  if (event == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  event->guard = guard;
  event->signalled = false;
  event->waiters = 0;
  event->header.kind = posix::kEventKind;
  ThreadState* self = posix::CallerState();
  posix::Lock(guard, self);
  event->next = guard->events;
  guard->events = event;
  posix::Unlock(guard, self);
  return &event->header;
}

WaitResult WaitGuard(Handle guard_handle) {
  GuardObject* guard = AsGuard(guard_handle);
  if (guard == nullptr) {
    errno = EINVAL;
    return kWaitFailed;
  }
  ThreadState* self = posix::CallerStateOrCreate();
  if (self == nullptr) return kWaitFailed;

  posix::Lock(guard, self);
  if (guard->owner == self) {
    ++guard->count;
    posix::Unlock(guard, self);
    return kWaitObject0;
  }
  if (guard->owner != nullptr) {
    ++guard->guard_waiters;
    posix::NoteSleep(self, guard, &guard->guard_waiters, false);
    do {
      posix::Sleep(guard, self);
    } while (guard->owner != nullptr);
    posix::NoteAwake(self);
    --guard->guard_waiters;
  }
  const WaitResult result = posix::Take(guard, self);
  posix::Unlock(guard, self);
  return result;
}

bool ReleaseGuard(Handle guard_handle) {
  GuardObject* guard = AsGuard(guard_handle);
  if (guard == nullptr) {
    errno = EINVAL;
    return false;
  }
  // A thread without state has never owned a guard.
  ThreadState* self = posix::CallerState();
  posix::Lock(guard, self);
  if (self == nullptr || guard->owner != self) {
    posix::Unlock(guard, self);
    errno = EPERM;
    return false;
  }
  if (--guard->count == 0) posix::Free(guard, self);
  posix::Unlock(guard, self);
  return true;
}

bool SetEvent(Handle event_handle) {
  EventObject* event = AsEvent(event_handle);
  if (event == nullptr) {
    errno = EINVAL;
    return false;
  }
  GuardObject* guard = event->guard;
  ThreadState* self = posix::CallerState();
  posix::Lock(guard, self);
  event->signalled = true;
  // A waiter can proceed when the guard is free, or when the owner itself
  // sleeps among the waiters; otherwise the owner's release wakes them.
  if (event->waiters > 0 && (guard->owner == nullptr || guard->owner_waits_on == event)) {
    posix::WakeAll(guard);
  }
  posix::Unlock(guard, self);
  return true;
}

WaitResult WaitGuardAndEvent(Handle guard_handle, Handle event_handle) {
  GuardObject* guard = AsGuard(guard_handle);
  EventObject* event = AsEvent(event_handle);
  if (guard == nullptr || event == nullptr || event->guard != guard) {
    errno = EINVAL;
    return kWaitFailed;
  }
  ThreadState* self = posix::CallerStateOrCreate();
  if (self == nullptr) return kWaitFailed;

  posix::Lock(guard, self);
  // An owner waiting here keeps the guard: it waits for the signal alone.
  const bool owns = guard->owner == self;
  if (!event->signalled || !(owns || guard->owner == nullptr)) {
    ++event->waiters;
    if (owns) guard->owner_waits_on = event;
    posix::NoteSleep(self, guard, &event->waiters, owns);
    do {
      posix::Sleep(guard, self);
    } while (!event->signalled || !(owns || guard->owner == nullptr));
    posix::NoteAwake(self);
    --event->waiters;
    if (owns) guard->owner_waits_on = nullptr;
  }
  event->signalled = false;
  WaitResult result = kWaitObject0;
  if (owns) {
    ++guard->count;
  } else {
    result = posix::Take(guard, self);
  }
  posix::Unlock(guard, self);
  return result;
}

void CloseHandle(Handle handle) {
  auto* header = static_cast<posix::HandleHeader*>(handle);
  if (header == nullptr) return;
  if (GuardObject* guard = AsGuard(handle)) {
    ThreadState* self = posix::CallerState();
    posix::Lock(guard, self);
    // Closing a guard one still holds is a caller's mistake, but a cheap
    // one to survive: unlink it, so the thread's end does not touch it.
    if (self != nullptr && guard->owner == self) posix::Free(guard, self);
    guard->closed = true;
    guard->header.kind = posix::kClosedKind;
    // Events keep the mutex they use; the last one frees the guard.
    const bool free_now = guard->events == nullptr;
    posix::Unlock(guard, self);
    if (free_now) posix::Destroy(guard);
    return;
  }
  if (EventObject* event = AsEvent(handle)) {
    GuardObject* guard = event->guard;
    ThreadState* self = posix::CallerState();
    posix::Lock(guard, self);
    for (EventObject** link = &guard->events; *link != nullptr; link = &(*link)->next) {
      if (*link == event) {
        *link = event->next;
        break;
      }
    }
    if (guard->owner_waits_on == event) guard->owner_waits_on = nullptr;
    event->header.kind = posix::kClosedKind;
    const bool free_guard = guard->closed && guard->events == nullptr;
    posix::Unlock(guard, self);
    delete event;
    if (free_guard) posix::Destroy(guard);
    return;
  }
  if (header->kind == posix::kThreadKind) {
    posix::DestroyThreadHandle(header);
    return;
  }
  errno = EINVAL;
}

}  // namespace port
}  // namespace re5zor4

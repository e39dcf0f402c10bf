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
// while a caller "owns" the guard. Threads that want the guard alone sleep on
// the guard's condition variable; threads in WaitGuardAndEvent sleep on the
// event's own condition variable. Because guard and signal are tested under
// one mutex, taking both at once is just a test of both.
//
// Wake-up rule (the mutex held): whenever the guard becomes free, wake one
// sleeper that could now proceed: a waiter of a signalled event first, else a
// waiter for the guard. SetEvent wakes an event waiter only when the guard is
// free (or its owner itself waits for the event); otherwise the owner's
// release will. Counters of sleepers keep every call that finds nobody asleep
// from touching a condition variable, and the two kinds of sleepers never
// wake each other in vain. A woken thread that finds its chance taken by a
// faster thread sleeps again; that faster thread then owns the guard and will
// wake the next one when it lets go, so no wake-up is lost. A sleeper that is
// cancelled may have swallowed the wake-up meant for someone else, so its
// clean-up passes it on.
//
// Signals are sent with the mutex held. Sending them after unlocking would
// save the woken thread a short wait, but the woken thread may then take the
// guard, return, and close it (a resource watcher waited down to zero is
// deleted at once) while the releasing thread is still about to touch it.
//
// Abandonment. The owning thread keeps its guards in a list in its
// ThreadState (linked on 0 -> 1, unlinked on 1 -> 0); its end processing
// (thread_posix.cpp) frees what is left, marks it abandoned and wakes the
// next thread, which gets kWaitAbandoned once.
//
// Alternatives rejected: a futex word of our own (faster by a little, but
// ThreadSanitizer does not understand it, and the guard and the signal would
// need two words moved together); a robust pthread mutex (reports a dead
// owner, but it is not recursive together with a wait that also takes an
// event, and holding a pthread mutex across the caller's critical section
// would forbid the "take both at once" test).
//
// Not guaranteed: fairness. A thread that arrives while the guard is free
// takes it even when others sleep.
#include <errno.h>
#include <pthread.h>

#include <new>

#include "platform/port.h"
#include "platform/posix/thread_state_posix.h"

namespace re5zor4 {
namespace port {
namespace posix {

struct EventObject;

struct GuardObject {
  HandleHeader header;
  pthread_mutex_t mutex;
  pthread_cond_t free_cond;  // sleepers in WaitGuard

  // Guarded by mutex.
  ThreadState* owner;
  unsigned long count;          // recursion level of owner; 0 while free
  bool abandoned;               // the last owner ended holding the guard
  bool closed;                  // CloseHandle came; freed with its last event
  int guard_waiters;            // sleepers on free_cond
  EventObject* owner_waits_on;  // the owner sleeps in WaitGuardAndEvent
  EventObject* events;          // events made for this guard

  // Links in the owner's ThreadState::owned list. Touched only by the
  // owning thread while it owns the guard.
  GuardObject* prev_owned;
  GuardObject* next_owned;
};

struct EventObject {
  HandleHeader header;
  GuardObject* guard;  // fixed at creation
  pthread_cond_t cond;

  // Guarded by guard->mutex.
  bool signalled;
  int waiters;  // sleepers on cond
  EventObject* next;
};

namespace {

void Lock(GuardObject* guard) {
  const int rc = pthread_mutex_lock(&guard->mutex);
  if (rc != 0) DieOnImpossible("pthread_mutex_lock", rc);
}

void Unlock(GuardObject* guard) {
  const int rc = pthread_mutex_unlock(&guard->mutex);
  if (rc != 0) DieOnImpossible("pthread_mutex_unlock", rc);
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

// REQUIRES: mutex held, guard free. Wakes one sleeper that could proceed.
void WakeNext(GuardObject* guard) {
  for (EventObject* event = guard->events; event != nullptr; event = event->next) {
    if (event->signalled && event->waiters > 0) {
      pthread_cond_signal(&event->cond);
      return;
    }
  }
  if (guard->guard_waiters > 0) pthread_cond_signal(&guard->free_cond);
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

// REQUIRES: mutex held, guard owned by the calling thread, whose state is
// owner. Frees the guard whatever its level and wakes the next thread.
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
  WakeNext(guard);
}

void Destroy(GuardObject* guard) {
  guard->header.kind = kClosedKind;
  pthread_cond_destroy(&guard->free_cond);
  pthread_mutex_destroy(&guard->mutex);
  delete guard;
}

// What a sleeper must undo when it is cancelled inside pthread_cond_wait
// (which gives the mutex back before clean-up handlers run).
struct Sleeper {
  GuardObject* guard;
  int* counter;
  bool owner_waits;
};

void CancelSleep(void* arg) {
  auto* sleeper = static_cast<Sleeper*>(arg);
  GuardObject* guard = sleeper->guard;
  --*sleeper->counter;
  if (sleeper->owner_waits) guard->owner_waits_on = nullptr;
  // The wake-up this thread may have taken was meant for a thread that can
  // proceed; hand it on.
  if (guard->owner == nullptr) WakeNext(guard);
  Unlock(guard);
}

}  // namespace

void AbandonGuards(ThreadState* state) {
  while (state->owned != nullptr) {
    GuardObject* guard = state->owned;
    Lock(guard);
    guard->abandoned = true;
    Free(guard, state);
    Unlock(guard);
  }
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
  int rc = pthread_mutex_init(&guard->mutex, nullptr);
  if (rc != 0) {
    delete guard;
    errno = rc;
    return nullptr;
  }
  rc = pthread_cond_init(&guard->free_cond, nullptr);
  if (rc != 0) {
    pthread_mutex_destroy(&guard->mutex);
    delete guard;
    errno = rc;
    return nullptr;
  }
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
  const int rc = pthread_cond_init(&event->cond, nullptr);
  if (rc != 0) {
    delete event;
    errno = rc;
    return nullptr;
  }
  event->guard = guard;
  event->signalled = false;
  event->waiters = 0;
  event->header.kind = posix::kEventKind;
  posix::Lock(guard);
  event->next = guard->events;
  guard->events = event;
  posix::Unlock(guard);
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

  posix::Lock(guard);
  if (guard->owner == self) {
    ++guard->count;
    posix::Unlock(guard);
    return kWaitObject0;
  }
  if (guard->owner != nullptr) {
    ++guard->guard_waiters;
    posix::Sleeper sleeper{guard, &guard->guard_waiters, false};
    pthread_cleanup_push(&posix::CancelSleep, &sleeper);
    do {
      pthread_cond_wait(&guard->free_cond, &guard->mutex);
    } while (guard->owner != nullptr);
    pthread_cleanup_pop(0);
    --guard->guard_waiters;
  }
  const WaitResult result = posix::Take(guard, self);
  posix::Unlock(guard);
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
  posix::Lock(guard);
  if (self == nullptr || guard->owner != self) {
    posix::Unlock(guard);
    errno = EPERM;
    return false;
  }
  if (--guard->count == 0) posix::Free(guard, self);
  posix::Unlock(guard);
  return true;
}

bool SetEvent(Handle event_handle) {
  EventObject* event = AsEvent(event_handle);
  if (event == nullptr) {
    errno = EINVAL;
    return false;
  }
  GuardObject* guard = event->guard;
  posix::Lock(guard);
  event->signalled = true;
  if (event->waiters > 0) {
    if (guard->owner == nullptr) {
      pthread_cond_signal(&event->cond);
    } else if (guard->owner_waits_on == event) {
      // The owner sleeps among the waiters; only it can proceed.
      pthread_cond_broadcast(&event->cond);
    }
  }
  posix::Unlock(guard);
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

  posix::Lock(guard);
  // An owner waiting here keeps the guard: it waits for the signal alone.
  const bool owns = guard->owner == self;
  if (!event->signalled || !(owns || guard->owner == nullptr)) {
    ++event->waiters;
    if (owns) guard->owner_waits_on = event;
    posix::Sleeper sleeper{guard, &event->waiters, owns};
    pthread_cleanup_push(&posix::CancelSleep, &sleeper);
    do {
      pthread_cond_wait(&event->cond, &guard->mutex);
    } while (!event->signalled || !(owns || guard->owner == nullptr));
    pthread_cleanup_pop(0);
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
  posix::Unlock(guard);
  return result;
}

void CloseHandle(Handle handle) {
  auto* header = static_cast<posix::HandleHeader*>(handle);
  if (header == nullptr) return;
  if (GuardObject* guard = AsGuard(handle)) {
    ThreadState* self = posix::CallerState();
    posix::Lock(guard);
    // Closing a guard one still holds is a caller's mistake, but a cheap
    // one to survive: unlink it, so the thread's end does not touch it.
    if (self != nullptr && guard->owner == self) posix::Free(guard, self);
    guard->closed = true;
    guard->header.kind = posix::kClosedKind;
    // Events keep the mutex they sleep under; the last one frees the guard.
    const bool free_now = guard->events == nullptr;
    posix::Unlock(guard);
    if (free_now) posix::Destroy(guard);
    return;
  }
  if (EventObject* event = AsEvent(handle)) {
    GuardObject* guard = event->guard;
    posix::Lock(guard);
    for (EventObject** link = &guard->events; *link != nullptr; link = &(*link)->next) {
      if (*link == event) {
        *link = event->next;
        break;
      }
    }
    if (guard->owner_waits_on == event) guard->owner_waits_on = nullptr;
    event->header.kind = posix::kClosedKind;
    const bool free_guard = guard->closed && guard->events == nullptr;
    posix::Unlock(guard);
    pthread_cond_destroy(&event->cond);
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

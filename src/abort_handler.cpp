// Abortion handlers: the registry of host functions called on an interrupt.
// The platform delivers each interrupt to RunHandlers on an ordinary thread.
//
// Locks: RegistryMutex() (process lifetime) guards the registry pointer and
// its reference counts and is only ever held for a few instructions: nobody
// waits for the registry's own lock (the critical section "AbortionHandler",
// which guards the list and runs the handlers) while holding it. A handler
// may therefore call ZnAddAbortionHandler and ZnRemoveAbortionHandler; the
// walking thread re-enters the recursive "AbortionHandler" section.
#include "re5zor4/abort_handler.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>

#include "core/seam.h"
#include "platform/port.h"
#include "re5zor4/critsect.h"
#include "ru5red4/znlist.h"

namespace {

// One registration. Its only virtual operation is its destructor.
class AbortItem : public ZnLinkedListItem {
 public:
  AbortItem(int (*h)(void*), void* a) : handler(h), arg(a), removed(false) {}
  ~AbortItem() override = default;

  int (*handler)(void*);
  void* arg;
  // Removed while the handlers ran: skipped, deleted when the walk is over.
  bool removed;  // guarded by lock
};

struct Registry {
  ZnLinkedList* list;  // AbortItems in registration order; guarded by lock
  ZnCritSect* lock;
  int walking;  // guarded by lock: 1 while the handlers run
  bool purge;   // guarded by lock: some items are marked removed
  // Guarded by RegistryMutex().
  int users;  // additions not yet balanced by removals
  int pins;   // calls using list or lock right now
};

std::mutex& RegistryMutex() {
  // Never destroyed: the handler thread may still use it during exit.
  // In static storage, never destroyed, and never an allocation that could
  // fail.
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* mutex = new (storage) std::mutex;
  return *mutex;
}

Registry* g_registry = nullptr;  // guarded by RegistryMutex()

Registry* MakeRegistry() {
  Registry* registry = re5zor4::seam::New<Registry>();
  if (registry == nullptr) return nullptr;
  registry->list = re5zor4::seam::New<ZnLinkedList>();
  registry->lock = ZnCritSect::MakeImplementation("AbortionHandler");
  if (registry->list == nullptr || registry->lock == nullptr) {
    delete registry->list;
    delete registry->lock;
    delete registry;
    return nullptr;
  }
  return registry;
}

// REQUIRES: nobody holds, waits for or is about to take registry->lock.
void DestroyRegistry(Registry* registry) {
  delete registry->list;  // deletes the items still linked
  delete registry->lock;
  delete registry;
}

// The current registry with one more reference, or null when none exists.
Registry* PinRegistry() {
  std::lock_guard<std::mutex> hold(RegistryMutex());
  if (g_registry != nullptr) ++g_registry->pins;
  return g_registry;
}

// Drops a reference and, when asked, one user. The registry goes away when
// both counts are 0: the last user leaves, and no call is inside it.
void UnpinRegistry(Registry* registry, bool releaseUser) {
  Registry* doomed = nullptr;
  {
    std::lock_guard<std::mutex> hold(RegistryMutex());
    --registry->pins;
    if (releaseUser && registry->users > 0) --registry->users;
    if (registry->users == 0 && registry->pins == 0) {
      doomed = registry;
      g_registry = nullptr;
    }
  }
  if (doomed != nullptr) DestroyRegistry(doomed);
}

// The platform's interrupt callback, on an ordinary thread: calls the
// handlers in registration order until one returns non-zero, then ends the
// interrupt. Returns true when one did; false also when there is no registry
// (the platform then passes the interrupt on). The interrupt ends while the
// walk still holds the lock, so a registration call that had to wait for the
// walk returns only when the next interrupt will be taken.
bool RunHandlers() {
  Registry* registry = PinRegistry();
  if (registry == nullptr) {
    re5zor4::port::EndInterrupt();
    return false;
  }
  bool handled = false;
  registry->lock->Begin();
  ++registry->walking;
  for (ZnLinkedListItem* item = registry->list->first; item != nullptr;) {
    // Read first: the handler may add registrations. Removed ones stay
    // linked (only marked) until the walk is over.
    ZnLinkedListItem* next = item->next;
    AbortItem* entry = static_cast<AbortItem*>(item);
    int result = 0;
    if (!entry->removed && entry->handler != nullptr) result = entry->handler(entry->arg);
    if (result != 0) {
      handled = true;
      break;
    }
    item = next;
  }
  --registry->walking;
  if (registry->walking == 0 && registry->purge) {
    registry->purge = false;
    ZnLinkedListItem* item = registry->list->first;
    while (item != nullptr) {
      ZnLinkedListItem* next = item->next;
      if (static_cast<AbortItem*>(item)->removed) registry->list->DeleteItem(item);
      item = next;
    }
  }
  re5zor4::port::EndInterrupt();
  registry->lock->Exit();
  UnpinRegistry(registry, false);
  return handled;
}

// A child made by fork gets a consistent copy of the registry: the mutex is
// held across the fork.
void LockRegistryForFork() {
  RegistryMutex().lock();
}
void UnlockRegistryAfterFork() {
  RegistryMutex().unlock();
}

// Makes sure the OS calls the library on an interrupt. Called under
// RegistryMutex() each time a registry is made. The fork handlers are
// registered after the platform's own, so that a fork takes RegistryMutex()
// before the platform's lock, in the order this call takes them.
void InstallInterruptHandler() {
  re5zor4::port::InstallInterruptHandler(&RunHandlers);
  static const bool fork_hooks [[maybe_unused]] = re5zor4::port::RegisterForkHandlers(
      &LockRegistryForFork, &UnlockRegistryAfterFork, &UnlockRegistryAfterFork);
}

}  // namespace

void ZnAddAbortionHandler(int (*handler)(void*), void* arg) {
  Registry* registry = nullptr;
  {
    std::lock_guard<std::mutex> hold(RegistryMutex());
    if (g_registry == nullptr) {
      g_registry = MakeRegistry();
      if (g_registry == nullptr) return;
      InstallInterruptHandler();
    }
    ++g_registry->users;
    if (handler == nullptr) return;
    registry = g_registry;
    ++registry->pins;
  }
  if (AbortItem* item = re5zor4::seam::New<AbortItem>(handler, arg)) {
    registry->lock->Begin();
    registry->list->Append(item);
    registry->lock->Exit();
  }
  UnpinRegistry(registry, false);
}

void ZnRemoveAbortionHandler(int (*handler)(void*), void* arg) {
  Registry* registry = PinRegistry();
  if (registry == nullptr) return;
  registry->lock->Begin();
  for (ZnLinkedListItem* item = registry->list->first; item != nullptr; item = item->next) {
    AbortItem* entry = static_cast<AbortItem*>(item);
    if (entry->removed || entry->handler != handler || entry->arg != arg) continue;
    if (registry->walking != 0) {
      // Called by a handler: the walk may hold this item as its next one.
      entry->removed = true;
      registry->purge = true;
    } else {
      registry->list->DeleteItem(entry);
    }
    break;
  }
  registry->lock->Exit();
  UnpinRegistry(registry, true);
}

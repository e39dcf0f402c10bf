// Abortion handlers: the registry of host functions called on an interrupt,
// and the interrupt plumbing that calls them on an ordinary thread.
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

#include "internal.h"
#include "re5zor4/critsect.h"
#include "ru5red4/znlist.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

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
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

Registry* g_registry = nullptr;  // guarded by RegistryMutex()

// 1 from the arrival of an interrupt until its handlers have run (passing a
// declined interrupt on comes after); interrupts arriving meanwhile are
// swallowed. Touched by the signal handler, so it must be lock-free.
std::atomic<int> g_inHandler{0};
static_assert(std::atomic<int>::is_always_lock_free, "used inside a signal handler");

Registry* MakeRegistry() {
  Registry* registry = new (std::nothrow) Registry();
  if (registry == nullptr) return nullptr;
  registry->list = new (std::nothrow) ZnLinkedList();
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

// Calls the handlers in registration order until one returns non-zero, then
// clears g_inHandler. Returns true when one did; false also when there is no
// registry. The in-handler state ends while the walk still holds the lock, so
// a registration call that had to wait for the walk returns only when the
// next interrupt will be taken.
bool RunHandlers() {
  Registry* registry = PinRegistry();
  if (registry == nullptr) {
    g_inHandler.store(0);
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
  g_inHandler.store(0);
  registry->lock->Exit();
  UnpinRegistry(registry, false);
  return handled;
}

// Makes sure the OS calls the library on an interrupt. Called under
// RegistryMutex() each time a registry is made. False when it cannot.
bool InstallInterruptHandler();

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
  if (AbortItem* item = new (std::nothrow) AbortItem(handler, arg)) {
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

#if defined(_WIN32)

namespace {

// Runs on the OS's console-control thread.
BOOL WINAPI ConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT) return FALSE;
  if (g_inHandler.exchange(1) != 0) return TRUE;  // a second Ctrl+C: swallowed
  return RunHandlers() ? TRUE : FALSE;
}

bool InstallInterruptHandler() {
  return SetConsoleCtrlHandler(ConsoleControl, TRUE) != 0;
}

}  // namespace

#else  // POSIX: SIGINT, a self-pipe and a handler thread.

namespace {

// Write end of the pipe to the handler thread; -1 while there is none. Read
// by the signal handler, so atomic.
std::atomic<int> g_wakeFd{-1};

// The rest is guarded by RegistryMutex(), except where noted.
int g_readFd = -1;
bool g_dispatcherRunning = false;
bool g_installed = false;  // the library's SIGINT handler was installed
bool g_forkHookSet = false;
// The SIGINT disposition found when the library first installed its own,
// written once before g_previousValid is set; read-only afterwards.
struct sigaction g_previous;
std::atomic<bool> g_previousValid{false};

// Passes an interrupt on from inside the signal handler, used only when no
// handler thread can take it: the earlier disposition applies.
void PassOnInSignalHandler(int signo, siginfo_t* info, void* context) {
  const bool known = g_previousValid.load(std::memory_order_acquire);
  if (known && g_previous.sa_handler == SIG_IGN) return;
  if (known && g_previous.sa_handler != SIG_DFL) {
    if ((g_previous.sa_flags & SA_SIGINFO) != 0) {
      g_previous.sa_sigaction(signo, info, context);
    } else {
      g_previous.sa_handler(signo);
    }
    return;
  }
  // SIGINT is blocked while this handler runs: the raised one ends the
  // process as soon as the handler returns.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGINT, &fallback, nullptr);
  raise(SIGINT);
}

// The SIGINT handler. Async-signal-safe: an atomic exchange and a write.
extern "C" void OnInterrupt(int signo, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  if (g_inHandler.exchange(1) == 0) {
    const int fd = g_wakeFd.load();
    const char byte = 1;
    if (fd < 0 || write(fd, &byte, 1) != 1) {
      g_inHandler.store(0);
      PassOnInSignalHandler(signo, info, context);
    }
  }
  errno = savedErrno;
}

struct sigaction OurAction() {
  struct sigaction action = {};
  action.sa_sigaction = OnInterrupt;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  return action;
}

// Lets the earlier SIGINT disposition act on this interrupt, on the handler
// thread: the default one ends the process as if by SIGINT; an ignored
// interrupt is dropped; an earlier handler function runs on this thread, in a
// real signal context, after which the library's handler is put back.
void PassOn() {
  const bool known = g_previousValid.load(std::memory_order_acquire);
  if (known && g_previous.sa_handler == SIG_IGN) return;
  struct sigaction next = {};
  if (known) {
    next = g_previous;
  } else {
    next.sa_handler = SIG_DFL;
    sigemptyset(&next.sa_mask);
  }
  sigaction(SIGINT, &next, nullptr);
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  // This thread blocks every signal; a thread-directed SIGINT with the signal
  // unblocked is delivered before raise returns.
  pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
  raise(SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
  struct sigaction ours = OurAction();
  sigaction(SIGINT, &ours, nullptr);
}

void* DispatcherMain(void* argument) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  for (;;) {
    char byte;
    const ssize_t got = read(fd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return nullptr;
    if (!RunHandlers()) PassOn();
  }
}

// REQUIRES: RegistryMutex() held (or the single thread of a fresh child).
bool StartDispatcher() {
  if (g_dispatcherRunning) return true;
  int fds[2];
  if (pipe(fds) != 0) return false;
  for (int fd : fds) fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  // The thread blocks every signal, so that the host's signals go to the
  // host's threads.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  const int rc = pthread_create(&thread, nullptr, DispatcherMain,
                                reinterpret_cast<void*>(static_cast<intptr_t>(fds[0])));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  pthread_detach(thread);
  g_readFd = fds[0];
  g_wakeFd.store(fds[1]);
  g_dispatcherRunning = true;
  return true;
}

// Fork hooks. The mutex is taken across fork so that the child's copy is
// consistent; the child's handler thread did not survive the fork, so it gets
// a new pipe and thread when the SIGINT handler is in place.
void BeforeFork() {
  RegistryMutex().lock();
}
void AfterForkInParent() {
  RegistryMutex().unlock();
}
void AfterForkInChild() {
  g_inHandler.store(0);
  if (g_dispatcherRunning) {
    close(g_readFd);
    close(g_wakeFd.exchange(-1));
    g_readFd = -1;
    g_dispatcherRunning = false;
  }
  if (g_installed) StartDispatcher();
  RegistryMutex().unlock();
}

bool InstallInterruptHandler() {
  if (!StartDispatcher()) return false;
  if (!g_forkHookSet) {
    g_forkHookSet = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
  }
  struct sigaction current;
  if (sigaction(SIGINT, nullptr, &current) != 0) return false;
  const bool ours = (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == OnInterrupt;
  if (ours) return true;
  if (!g_previousValid.load(std::memory_order_relaxed)) {
    g_previous = current;
    g_previousValid.store(true, std::memory_order_release);
  }
  struct sigaction action = OurAction();
  if (sigaction(SIGINT, &action, nullptr) != 0) return false;
  g_installed = true;
  return true;
}

}  // namespace

#endif

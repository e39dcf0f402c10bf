// Interrupts on POSIX: SIGINT, a self-pipe and a dispatcher thread.
//
// The SIGINT handler only marks the interrupt and writes one byte to a pipe;
// the dispatcher thread, which blocks every signal so that the host's signals
// go to the host's threads, reads it and calls the callback. A declined
// interrupt is passed on to the disposition found when the handler was first
// installed. After a fork, the child's dispatcher did not survive: the child
// gets a new pipe and thread when the handler is in place.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

#include "platform/port.h"
#include "platform/posix/dispatcher_posix.h"

namespace re5zor4 {
namespace port {
namespace {

// 1 from the arrival of an interrupt until EndInterrupt; interrupts arriving
// meanwhile are swallowed. Touched by the signal handler, so lock-free.
std::atomic<int> g_inInterrupt{0};
static_assert(std::atomic<int>::is_always_lock_free, "used inside a signal handler");

std::atomic<InterruptCallback> g_callback{nullptr};

// Write end of the pipe to the dispatcher; -1 while there is none. Read by
// the signal handler, so atomic.
std::atomic<int> g_wakeFd{-1};

// Guards the rest, except where noted. Never destroyed: the dispatcher may
// still use it while the process exits.
std::mutex& StateMutex() {
  // In static storage, never destroyed, and never an allocation that could
  // fail.
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* mutex = new (storage) std::mutex;
  return *mutex;
}
int g_readFd = -1;
bool g_dispatcherRunning = false;
bool g_installed = false;  // our SIGINT handler was installed
bool g_forkHooksSet = false;
// The SIGINT disposition found when the handler was first installed, written
// once before g_previousValid is set; read-only afterwards.
struct sigaction g_previous;
std::atomic<bool> g_previousValid{false};

// Passes an interrupt on from inside the signal handler, used only when no
// dispatcher can take it: the earlier disposition applies.
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
  if (g_inInterrupt.exchange(1) == 0) {
    const int fd = g_wakeFd.load();
    const char byte = 1;
    if (fd < 0 || write(fd, &byte, 1) != 1) {
      g_inInterrupt.store(0);
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

// Lets the earlier disposition act on this interrupt, on the dispatcher: the
// default one ends the process as if by SIGINT; an ignored interrupt is
// dropped; an earlier handler function runs on this thread, in a real signal
// context, after which our handler is put back.
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
    InterruptCallback callback = g_callback.load(std::memory_order_acquire);
    const bool handled = callback != nullptr ? callback() : (EndInterrupt(), false);
    if (!handled) PassOn();
  }
}

// REQUIRES: StateMutex() held (or the single thread of a fresh child).
bool StartDispatcher() {
  if (g_dispatcherRunning) return true;
  int fds[2];
  if (!posix::StartDispatcher(&DispatcherMain, fds)) return false;
  g_readFd = fds[0];
  g_wakeFd.store(fds[1]);
  g_dispatcherRunning = true;
  return true;
}

void BeforeFork() {
  StateMutex().lock();
}
void AfterForkInParent() {
  StateMutex().unlock();
}
void AfterForkInChild() {
  g_inInterrupt.store(0);
  if (g_dispatcherRunning) {
    close(g_readFd);
    close(g_wakeFd.exchange(-1));
    g_readFd = -1;
    g_dispatcherRunning = false;
  }
  if (g_installed) StartDispatcher();
  StateMutex().unlock();
}

}  // namespace

bool InstallInterruptHandler(InterruptCallback callback) {
  std::lock_guard<std::mutex> hold(StateMutex());
  g_callback.store(callback, std::memory_order_release);
  if (!StartDispatcher()) return false;
  if (!g_forkHooksSet) {
    g_forkHooksSet = pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild) == 0;
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

void EndInterrupt() {
  g_inInterrupt.store(0);
}

bool RegisterForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
  return pthread_atfork(prepare, parent, child) == 0;
}

}  // namespace port
}  // namespace re5zor4

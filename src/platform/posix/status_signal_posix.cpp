// The status signal on POSIX: SIGQUIT, a self-pipe and a dispatcher thread,
// in the manner of the interrupt handler beside it (interrupt_posix.cpp).
//
// The handler writes one byte to a non-blocking pipe (a full pipe already
// holds a wake-up, so a lost byte loses nothing); the dispatcher, which blocks
// every signal, reads and calls the callback on an ordinary thread. The
// dispatcher belongs to the process that made it: after a fork the child
// makes its own on its next install.
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

std::atomic<StatusCallback> g_callback{nullptr};
// Write end of the dispatcher's pipe, -1 while there is none; read by the
// signal handler, so atomic.
std::atomic<int> g_wakeFd{-1};

std::mutex& StateMutex() {
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* mutex = new (storage) std::mutex;
  return *mutex;
}
// Held by the dispatcher while it runs the callback, so that
// RemoveStatusSignal returns only once no callback runs any more.
std::mutex& CallbackMutex() {
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* mutex = new (storage) std::mutex;
  return *mutex;
}

// Guarded by StateMutex().
pid_t g_dispatcherPid = 0;  // the process whose dispatcher reads the pipe
bool g_installed = false;
struct sigaction g_previous;

extern "C" void OnStatusSignal(int) {
  const int savedErrno = errno;
  const int fd = g_wakeFd.load();
  const char byte = 1;
  if (fd >= 0) {
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
  }
  errno = savedErrno;
}

void* DispatcherMain(void* argument) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  for (;;) {
    char bytes[64];
    const ssize_t got = read(fd, bytes, sizeof bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return nullptr;
    std::lock_guard<std::mutex> running(CallbackMutex());
    if (StatusCallback callback = g_callback.load(std::memory_order_acquire)) callback();
  }
}

// REQUIRES: StateMutex() held.
bool StartDispatcher() {
  if (g_dispatcherPid == getpid()) return true;
  int fds[2];
  if (!posix::StartDispatcher(&DispatcherMain, fds)) return false;
  // A pipe inherited from the parent (whose dispatcher did not come along)
  // is left open: closing it could race with a handler still writing to it.
  g_wakeFd.store(fds[1]);
  g_dispatcherPid = getpid();
  return true;
}

}  // namespace

bool InstallStatusSignal(StatusCallback callback) {
  std::lock_guard<std::mutex> hold(StateMutex());
  g_callback.store(callback, std::memory_order_release);
  if (!StartDispatcher()) return false;
  if (g_installed) return true;
  struct sigaction action = {};
  action.sa_handler = OnStatusSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGQUIT, &action, &g_previous) != 0) return false;
  g_installed = true;
  return true;
}

void RemoveStatusSignal() {
  {
    std::lock_guard<std::mutex> hold(StateMutex());
    g_callback.store(nullptr, std::memory_order_release);
    if (g_installed) sigaction(SIGQUIT, &g_previous, nullptr);
    g_installed = false;
  }
  // A callback already running finishes before the caller goes on (module
  // shut-down deletes what it reads).
  std::lock_guard<std::mutex> wait(CallbackMutex());
}

}  // namespace port
}  // namespace re5zor4

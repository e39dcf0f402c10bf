// Interrupts on Win32: a console control handler for CTRL_C_EVENT. The
// system runs it on a thread it makes for the purpose, an ordinary thread, so
// the callback is called from it directly. Returning FALSE passes the event
// to the handlers installed before ours, and finally to the default one,
// which ends the process: what was in force keeps its place in the chain.
#include <atomic>

#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {
namespace {

// 1 from the arrival of an interrupt until EndInterrupt; interrupts arriving
// meanwhile are swallowed.
std::atomic<int> g_inInterrupt{0};
std::atomic<InterruptCallback> g_callback{nullptr};
std::atomic<bool> g_installed{false};
SRWLOCK g_install_lock = SRWLOCK_INIT;

BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT) return FALSE;
  if (g_inInterrupt.exchange(1) != 0) return TRUE;
  InterruptCallback callback = g_callback.load(std::memory_order_acquire);
  if (callback == nullptr) {
    EndInterrupt();
    return FALSE;
  }
  return callback() ? TRUE : FALSE;
}

}  // namespace

bool InstallInterruptHandler(InterruptCallback callback) {
  ::AcquireSRWLockExclusive(&g_install_lock);
  g_callback.store(callback, std::memory_order_release);
  bool ok = true;
  if (!g_installed.load(std::memory_order_relaxed)) {
    ok = ::SetConsoleCtrlHandler(&OnControl, TRUE) != FALSE;
    if (ok) g_installed.store(true, std::memory_order_relaxed);
  }
  ::ReleaseSRWLockExclusive(&g_install_lock);
  return ok;
}

void EndInterrupt() {
  g_inInterrupt.store(0);
}

// No fork on Win32: nothing to call, ever.
bool RegisterForkHandlers(void (*)(), void (*)(), void (*)()) {
  return true;
}

}  // namespace port
}  // namespace re5zor4

// The status signal on Win32: CTRL_BREAK_EVENT through a console control
// handler. The system runs the handler on a thread it makes for the purpose,
// an ordinary thread, so the callback is called from it directly. Without a
// callback the event goes on to the handlers installed before ours.
#include <atomic>

#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {
namespace {

std::atomic<StatusCallback> g_callback{nullptr};
std::atomic<int> g_running{0};  // 1 while a callback runs
std::atomic<int> g_pending{0};  // an event came meanwhile: one more call
SRWLOCK g_install_lock = SRWLOCK_INIT;
bool g_installed = false;  // guarded by g_install_lock

BOOL WINAPI OnBreak(DWORD type) {
  if (type != CTRL_BREAK_EVENT) return FALSE;
  StatusCallback callback = g_callback.load(std::memory_order_acquire);
  if (callback == nullptr) return FALSE;
  if (g_running.exchange(1) != 0) {
    g_pending.store(1);
    return TRUE;
  }
  for (;;) {
    g_pending.store(0);
    callback();
    g_running.store(0);
    if (g_pending.load() == 0 || g_running.exchange(1) != 0) break;
  }
  return TRUE;
}

}  // namespace

bool InstallStatusSignal(StatusCallback callback) {
  ::AcquireSRWLockExclusive(&g_install_lock);
  g_callback.store(callback, std::memory_order_release);
  bool ok = true;
  if (!g_installed) {
    ok = ::SetConsoleCtrlHandler(&OnBreak, TRUE) != FALSE;
    g_installed = ok;
  }
  ::ReleaseSRWLockExclusive(&g_install_lock);
  return ok;
}

void RemoveStatusSignal() {
  ::AcquireSRWLockExclusive(&g_install_lock);
  g_callback.store(nullptr, std::memory_order_release);
  if (g_installed) ::SetConsoleCtrlHandler(&OnBreak, FALSE);
  g_installed = false;
  ::ReleaseSRWLockExclusive(&g_install_lock);
  while (g_running.load() != 0) ::Sleep(1);
}

}  // namespace port
}  // namespace re5zor4

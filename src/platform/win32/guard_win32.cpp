// Guards and events on Win32: a mutex and auto-reset events, taken together
// by WaitForMultipleObjects (wait all). The kernel knows each mutex's owner
// and marks it abandoned when the owner ends or is terminated holding it:
// the next wait reports WAIT_ABANDONED, once.
#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {
namespace {

WaitResult FromWait(DWORD result) {
  if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) {
    return static_cast<WaitResult>(result);
  }
  if (result == WAIT_ABANDONED_0 || result == WAIT_ABANDONED_0 + 1) return kWaitAbandoned;
  if (result == WAIT_TIMEOUT) return kWaitTimeout;
  return kWaitFailed;
}

}  // namespace

namespace win32 {
void FinishSelfTerminated(HANDLE thread);
}  // namespace win32

Handle CreateGuard() {
  return ::CreateMutexA(nullptr, FALSE, nullptr);
}

// Win32 events stand alone: the guard only says the event is wanted.
Handle CreateEvent(Handle guard) {
  if (guard == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

WaitResult WaitGuard(Handle guard) {
  return FromWait(::WaitForSingleObject(guard, INFINITE));
}

bool ReleaseGuard(Handle guard) {
  return ::ReleaseMutex(guard) != FALSE;
}

bool SetEvent(Handle event) {
  return ::SetEvent(event) != FALSE;
}

WaitResult WaitGuardAndEvent(Handle guard, Handle event) {
  HANDLE both[2] = {guard, event};
  return FromWait(::WaitForMultipleObjects(2, both, TRUE, INFINITE));
}

void CloseHandle(Handle handle) {
  if (handle == nullptr) return;
  if (win32::AnyTerminatedPending()) win32::FinishSelfTerminated(handle);
  ::CloseHandle(handle);
}

}  // namespace port
}  // namespace re5zor4

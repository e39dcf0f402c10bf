// Thread handles, suspension and termination on Win32: the services
// themselves, plus the hand-over of a terminated thread's block to the
// terminated-thread hook once the thread is gone.
//
// A thread handle is a real Win32 thread handle (from _beginthreadex or
// DuplicateHandle); the kernel joins and frees the thread when it has ended
// and its last handle is closed. Guards a terminated thread owned are
// abandoned by the kernel.
#include <process.h>

#include <new>

#include "platform/host_hooks.h"
#include "platform/thread_control.h"
#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {
namespace win32 {
namespace {

struct StartBlock {
  ThreadEntry entry;
  void* arg;
};

unsigned __stdcall ThreadMain(void* raw) {
  StartBlock start = *static_cast<StartBlock*>(raw);
  delete static_cast<StartBlock*>(raw);
  start.entry(start.arg);
  return 0;
}

bool HasEnded(HANDLE thread) {
  return ::WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

}  // namespace

// A thread that terminated itself left its block behind: the first look at
// one of its handles after it is gone hands the block on.
// Any handle may come here: only a thread handle has a thread id (a wait on
// a guard or an event would take it).
void FinishSelfTerminated(HANDLE thread) {
  if (!AnyTerminatedPending()) return;
  const DWORD id = ::GetThreadId(thread);
  if (id == 0 || !HasEnded(thread)) return;
  ReportTerminated(TakeThreadBlock(id, true));
}

}  // namespace win32

Handle BeginThread(ThreadEntry entry, void* arg, Handle* handle) {
  *handle = nullptr;
  auto* start = new (std::nothrow) win32::StartBlock{entry, arg};
  if (start == nullptr) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  unsigned id = 0;
  // Made suspended, so that the handle is stored before entry runs.
  const uintptr_t made =
      _beginthreadex(nullptr, 0, &win32::ThreadMain, start, CREATE_SUSPENDED, &id);
  if (made == 0) {
    delete start;
    if (::GetLastError() == 0) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE thread = reinterpret_cast<HANDLE>(made);
  *handle = thread;
  ::ResumeThread(thread);
  return thread;
}

Handle DuplicateCurrentThread() {
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &copy,
                         0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

void CloseThreadHandle(Handle handle) {
  if (handle == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return;
  }
  win32::FinishSelfTerminated(handle);
  ::CloseHandle(handle);
}

bool ThreadHasEnded(Handle handle) {
  if (handle == nullptr) return true;
  const DWORD result = ::WaitForSingleObject(handle, 0);
  return result != WAIT_TIMEOUT;  // ended, or not a usable handle
}

bool TerminateThread(Handle thread) {
  if (thread == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const DWORD id = ::GetThreadId(thread);
  if (id == 0) return false;
  if (id == ::GetCurrentThreadId()) {
    win32::MarkCallerTerminated();
    ::TerminateThread(::GetCurrentThread(), 0);
  }
  if (win32::HasEnded(thread)) {
    win32::FinishSelfTerminated(thread);
    return true;
  }
  if (!::TerminateThread(thread, 0)) return false;
  // TerminateThread only starts the end: the thread is gone once its handle
  // is signalled.
  ::WaitForSingleObject(thread, INFINITE);
  ReportTerminated(win32::TakeThreadBlock(id, false));
  return true;
}

uint32_t SuspendThread(Handle thread) {
  if (thread == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return kThreadControlFailed;
  }
  if (win32::HasEnded(thread)) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return kThreadControlFailed;
  }
  const DWORD previous = ::SuspendThread(thread);
  if (previous == static_cast<DWORD>(-1)) return kThreadControlFailed;
  // SuspendThread only asks; reading the context waits until the thread has
  // stopped (a thread suspending itself is past this point once resumed).
  CONTEXT context;
  context.ContextFlags = CONTEXT_INTEGER;
  ::GetThreadContext(thread, &context);
  return static_cast<uint32_t>(previous);
}

uint32_t ResumeThread(Handle thread) {
  if (thread == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return kThreadControlFailed;
  }
  const DWORD previous = ::ResumeThread(thread);
  return previous == static_cast<DWORD>(-1) ? kThreadControlFailed
                                            : static_cast<uint32_t>(previous);
}

void ReleaseThread(Handle thread) {
  if (thread == nullptr) return;
  for (int rounds = 0; rounds < 1000; ++rounds) {
    const DWORD previous = ::ResumeThread(thread);
    if (previous == 0 || previous == 1 || previous == static_cast<DWORD>(-1)) break;
  }
  CloseThreadHandle(thread);
}

// No signals on Win32: the services act directly.
int SuspendSignal() {
  return 0;
}

int TerminateSignal() {
  return 0;
}

}  // namespace port
}  // namespace re5zor4

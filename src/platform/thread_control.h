// OS threads that another thread can suspend, resume and end (Win32:
// _beginthread, SuspendThread, ResumeThread, TerminateThread, CloseHandle).
// Kept apart from port.h; implemented once per platform.
//
// A thread handle stays valid, whatever the thread does, until ReleaseThread;
// operations on a handle whose thread has ended fail cleanly or do nothing.
//
// POSIX stand-ins:
//
// Suspend and resume are a signal handshake. SuspendThread queues the
// suspend signal, SIGRTMIN + 5, at the thread; its handler acknowledges and
// parks the thread in a futex wait (no cancellation point, async-signal-safe)
// until ResumeThread brings the suspend count back to 0. SuspendThread
// returns only after the acknowledgement, so a suspended thread makes no
// progress. The host must neither block nor take over that signal. The
// handler is installed without SA_RESTART: a system call that the suspension
// interrupts fails with EINTR (the library's own waits retry). A suspended
// thread keeps whatever locks it holds, as with SuspendThread.
//
// Termination is deferred cancellation (pthread_cancel). The thread ends at
// its next cancellation point: a condition wait, a sleep (port::Sleep, ZnSleep),
// Giveup, blocking I/O. On the way out C++ destructors run (glibc unwinds with
// a forced-unwind exception, which must not be swallowed by a catch (...)
// without rethrow), and the thread-end hook releases the per-thread record and
// hands the guards the thread holds to their next owner as abandoned. What it
// cannot end: a thread that never reaches a cancellation point (a pure
// computing loop, a spin, a wait for a critical section), nor a thread that
// has disabled cancellation. A suspended thread is resumed first, so that it
// can reach one. A thread terminating itself ends at its next cancellation
// point too (it may be inside a destructor, which must not be unwound).
#ifndef RE5ZOR4_SRC_PLATFORM_THREAD_CONTROL_H_
#define RE5ZOR4_SRC_PLATFORM_THREAD_CONTROL_H_

#include <cstdint>

#include "platform/port.h"

namespace re5zor4 {
namespace port {

typedef void (*ThreadEntry)(void* arg);

// The failure result of SuspendThread and ResumeThread.
constexpr uint32_t kThreadControlFailed = 0xFFFFFFFFu;

// Starts entry(arg) on a new thread with the default stack size. The handle
// is stored in *handle before the thread starts, so that the thread itself
// may use it at once; on failure *handle is null and LastError() is set.
// Returns *handle.
Handle BeginThread(ThreadEntry entry, void* arg, Handle* handle);

// Asks the thread to end (see above). True when the request is placed, or the
// thread has already ended; false with LastError() set (a null handle).
bool TerminateThread(Handle thread);

// Counts a suspension; the first one stops the thread before returning.
// Returns the previous suspend count, or kThreadControlFailed with LastError()
// set: a null handle, a thread that has ended, or a signal that could not be
// queued.
uint32_t SuspendThread(Handle thread);

// Counts a suspension back; the thread runs again when the count reaches 0.
// Returns the previous count (0: nothing to resume), or kThreadControlFailed
// with LastError() set (a null handle).
uint32_t ResumeThread(Handle thread);

// Gives up the handle. A thread that has finished its entry function is
// joined (it is only returning); one still running, or the calling thread
// itself, is detached and frees its resources when it ends.
void ReleaseThread(Handle thread);

// A cancellation point: a pending TerminateThread on the calling thread acts
// here.
void TestTerminate();

// The signal number used for suspension.
int SuspendSignal();

}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_THREAD_CONTROL_H_

// OS threads that another thread can suspend, resume and end (Win32:
// _beginthread, DuplicateHandle, SuspendThread, ResumeThread, TerminateThread,
// WaitForSingleObject on a thread, CloseHandle). Kept apart from port.h;
// implemented once per platform.
//
// Thread handles are of one kind: BeginThread and DuplicateCurrentThread
// (port.h) both give one, and every operation here takes either. A thread may
// have several handles; each stays valid, whatever the thread does, until it
// is closed (ReleaseThread, or CloseHandle / CloseThreadHandle of port.h);
// operations on a handle whose thread has ended fail cleanly or do nothing.
//
// TerminateThread ends the thread at once, whatever it is doing: computing,
// blocked entering a critical section, waiting for a condition, asleep, or
// suspended. The hazards are those of Win32's TerminateThread:
//   - nothing of the thread runs any more: no C++ destructor, no catch, no
//     thread-end hook; its per-thread record is not released;
//   - locks it holds stay held for good (critical sections, reader/writer
//     levels, and locks of other libraries, the C library's heap lock among
//     them if the thread was inside malloc: a later allocation may then block
//     for ever). Terminate only threads known to hold nothing that matters.
// What this layer repairs itself, as Win32 does: guards the thread owned pass
// to their next owner as abandoned (kWaitAbandoned), a guard or event wait it
// was inside leaves no trace, and its state in this layer is freed.
// TerminateThread returns only once the thread is gone from the kernel, so
// that the caller may free what the thread was using. A thread terminating
// itself ends inside the call (even inside a destructor); its guards pass on
// at once, and whoever looks at one of its handles next finishes the clean-up.
//
// POSIX stand-ins:
//
// Suspend and resume are a signal handshake. SuspendThread queues the
// suspend signal, SIGRTMIN + 5, at the thread; its handler acknowledges and
// parks the thread in a futex wait (async-signal-safe) until ResumeThread
// brings the suspend count back to 0. SuspendThread returns only after the
// acknowledgement, so a suspended thread makes no progress. The handler is
// installed without SA_RESTART: a system call that the suspension interrupts
// fails with EINTR (the library's own waits retry). A suspended thread keeps
// whatever locks it holds, as with SuspendThread.
//
// Termination is the signal SIGRTMIN + 6, whose handler ends the calling
// kernel thread with the bare exit system call: no unwinding, no glibc
// thread-end processing. The kernel still clears the thread's id word on the
// way out (CLONE_CHILD_CLEARTID), so pthread_join of the thread completes;
// the terminator watches that same word (found with PR_GET_TID_ADDRESS) to
// know that the thread is gone. Before it exits, the thread empties its
// thread-specific values (pthread keys), which glibc would otherwise hand to
// the next thread made on the same stack. The host must neither block nor
// take over either signal. The thread never dies holding a guard's internal
// mutex: a termination that arrives then is acted on as the mutex is let go.
// Left over, unlike Win32: the glibc stack of a terminated thread that was
// detached by its creator (not one started here) is never freed.
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
// is stored in *handle before the thread runs entry, so that the thread
// itself may use it at once; on failure *handle is null and LastError() is
// set. Returns *handle. A thread started here is joined by this layer once it
// has ended and its last handle is closed (or detached, when it ends last).
Handle BeginThread(ThreadEntry entry, void* arg, Handle* handle);

// Ends the thread at once (see above) and returns once it is gone. True when
// it is gone, or had already ended; false with LastError() set (a null or
// closed handle, a signal that could not be queued). A thread terminating
// itself does not return.
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

// Lifts every suspension of the thread and closes the handle (the owner of a
// thread letting it go: nobody could resume it afterwards).
void ReleaseThread(Handle thread);

// The signal numbers used for suspension and termination.
int SuspendSignal();
int TerminateSignal();

}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_THREAD_CONTROL_H_

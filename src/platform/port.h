// The platform layer: this file holds the contract of the few
// operating-system services the library uses, not their implementations.
// Each platform folder (posix/, win32/) implements all of it; the build picks
// the folder and puts it on the include path. Nothing outside src/platform/
// includes a system header for these services, and nothing here leaks into
// include/.
//
// The pieces that must inline into hot paths (the recursive lock, the fast
// per-thread slots) are defined by the folder's "port_inline.h", which
// includes this file; code that needs them includes "port_inline.h".
//
// Each primitive is a thin, honest mapping of one Win32 service; the comment
// on each says which, and where the POSIX stand-in differs.
#ifndef RE5ZOR4_SRC_PLATFORM_PORT_H_
#define RE5ZOR4_SRC_PLATFORM_PORT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace re5zor4 {
namespace port {

// ---------------------------------------------------------------------------
// Recursive lock (Win32: CRITICAL_SECTION), class RecursiveLock, defined in
// "port_inline.h" so that its fast paths inline:
//
//   void Enter();               blocks until the caller holds the lock;
//                               recursive for the holder
//   bool TryEnter();            enters and returns true when the lock is free
//                               or held by the caller; false at once otherwise
//   void Leave();               REQUIRES: the caller holds the lock
//   bool HeldByCaller() const;  true when the calling thread holds it
//   int RecursionCount() const; the holder's count; exact only for the holder
//
// The holder is identified by an id unique for the life of the process, never
// by something the OS hands to the next thread (a thread pointer, a kernel
// id): a lock whose holder ended stays held for good, and no later thread
// "re-enters" it.
//
// Uncontended Enter/Leave cost no system call, no allocation and no
// per-thread lookup; a re-entry by the holder costs no atomic
// read-modify-write. Contended waiters sleep in the kernel. REQUIRES: the
// lock is free when destroyed.

// ---------------------------------------------------------------------------
// Guard and wake-up signal of a condition (Win32: CreateMutexA,
// CreateEventA, WaitForSingleObject, WaitForMultipleObjects(wait all),
// ReleaseMutex, SetEvent, CloseHandle).
//
// A guard is a recursive mutex. When its owner ends while holding it (or is
// terminated), the guard is marked abandoned and freed; the next thread to
// take it gets kWaitAbandoned once. An event is auto-reset and belongs to one guard:
// WaitGuardAndEvent takes the guard and consumes the signal together, so a
// woken waiter holds the guard when it looks at the guarded state.
//
// On POSIX both live behind one mutex and condition variable; the event
// therefore has to be created for its guard.
typedef void* Handle;

enum WaitResult : uint32_t {
  kWaitObject0 = 0x0,        // acquired (WaitGuardAndEvent may also give 1)
  kWaitAbandoned = 0x80,     // acquired; the previous owner died holding it
  kWaitTimeout = 0x102,      // not acquired (never happens with no time-out)
  kWaitFailed = 0xFFFFFFFF,  // not acquired; LastError() tells why
};

// A free, unabandoned guard, or null when it cannot be made.
Handle CreateGuard();
// An unsignalled auto-reset event usable with guard, or null.
Handle CreateEvent(Handle guard);
// Blocks until the caller owns guard (recursively when it already does).
WaitResult WaitGuard(Handle guard);
// Releases one level of guard. False when the caller doesn't own it.
bool ReleaseGuard(Handle guard);
// Signals event: one waiter in WaitGuardAndEvent, now or later, consumes it.
bool SetEvent(Handle event);
// Blocks until the guard can be owned and event is signalled at once, then
// owns the guard (one more level) and resets the event.
WaitResult WaitGuardAndEvent(Handle guard, Handle event);
// Closes a guard or an event (a guard and its events in either order; the
// guard's memory goes with the last of them), or a thread handle. REQUIRES:
// nobody waits on either, and a guard is not held by another living thread.
void CloseHandle(Handle handle);

// ---------------------------------------------------------------------------
// Fast per-thread slot, defined in "port_inline.h" (Win32: a TLS index read
// with TlsGetValue; Linux: an initial-exec thread-local, one load):
//
//   void* CurrentThreadBlock();          the calling thread's block, or null
//
// The value stays readable by the thread-end hook.

// Sets the calling thread's block. REQUIRES: the thread armed its thread-end
// hook (ArmThreadEndHook) first, so that a terminated thread's block reaches
// the terminated-thread hook.
void SetCurrentThreadBlock(void* block);

// ---------------------------------------------------------------------------
// Thread-local slots (Win32: TlsAlloc, TlsGetValue, TlsSetValue) and the
// thread-end hook (Win32: the DLL_THREAD_DETACH notification).
typedef unsigned long TlsIndex;
constexpr TlsIndex kTlsOutOfIndexes = 0xFFFFFFFFul;

// A new slot, empty in every thread, or kTlsOutOfIndexes. Slots are never
// freed.
TlsIndex TlsAlloc();
void* TlsGetValue(TlsIndex index);
bool TlsSetValue(TlsIndex index, void* value);

// Installs the one process-wide function called on a thread at its end. The
// Win32 loader calls it for every thread; POSIX cannot observe thread creation
// or end of a thread that never asked, so a thread asks with ArmThreadEndHook
// (idempotent, cheap once armed). The hook runs on the ending thread, after
// its C++ thread_local objects may already be gone, and also when the thread
// is cancelled. Guards still owned by the ending thread are marked abandoned
// after the hook returns.
typedef void (*ThreadEndHook)();
void SetThreadEndHook(ThreadEndHook hook);
void ArmThreadEndHook();

// Installs the one function called, on another thread, with the block of a
// thread that was terminated (TerminateThread), once that thread is gone and
// its guards are handed on. The terminated thread itself runs no clean-up.
// Called by whoever finishes the termination: TerminateThread, or the close
// of the thread's last handle; never while the layer holds a lock of its own.
typedef void (*ThreadTerminatedHook)(void* block);
void SetThreadTerminatedHook(ThreadTerminatedHook hook);

// ---------------------------------------------------------------------------
// Threads and time (Win32: GetCurrentThreadId, DuplicateHandle, Sleep,
// GetSystemInfo).

// The kernel thread id: unique among live threads, fits in 32 bits.
uint32_t CurrentThreadId();
// A handle to the calling thread that stays valid until closed, whatever the
// thread does; null when it can't be made. The same kind of handle as
// BeginThread gives: thread_control.h's operations take it.
Handle DuplicateCurrentThread();
// Closes a thread handle (as CloseHandle does); the thread goes on.
void CloseThreadHandle(Handle handle);
// True once the handle's thread has ended: returned from its start function,
// gone through its thread-end processing, or been terminated. Also true for a
// null or closed handle. Only asks (never blocks, never cleans up): a
// terminated thread that the kernel has not yet let go counts as not ended.
bool ThreadHasEnded(Handle handle);
// Sleeps ms milliseconds; 0 gives up the rest of the time slice. Negative
// values are treated as 0.
void Sleep(long ms);
// Online processors, at least 1.
unsigned long NumberOfProcessors();

// The current local date and time in the C library's ctime form, "Www Mmm dd
// hh:mm:ss yyyy\n" (24 characters and a line end; the day of month padded
// with a space), with the English names whatever the locale. Written into
// buffer NUL-terminated; returns the text's length. When it does not fit
// (size below 26) or the time can't be had, returns 0 and leaves an empty
// text (none at all when size is 0). Any thread may call it at any time:
// unlike ctime it shares no static buffer.
size_t FormatLocalTime(char* buffer, size_t size);

// ---------------------------------------------------------------------------
// OS version and errors (Win32: GetVersion, GetVersionExA, GetLastError,
// SetLastError, FormatMessageA).
//
// The POSIX layer answers as an NT-family system of major version 10: top bit
// clear, major version in the low byte.
uint32_t GetVersion();
// False when the query fails; otherwise fills the major version.
bool GetVersionEx(unsigned long* major);
// The calling thread's last error code (errno on POSIX).
unsigned long LastError();
// The code of "not enough resources" (ERROR_NOT_ENOUGH_MEMORY; EAGAIN).
unsigned long OutOfResourcesError();
void SetLastError(unsigned long code);
// The system's text for code into buffer (NUL-terminated, cut to size).
// Returns the text's length, 0 when there is none.
size_t FormatErrorText(unsigned long code, char* buffer, size_t size);

// ---------------------------------------------------------------------------
// Output (Win32: GetStdHandle, AllocConsole, WriteFile, OutputDebugStringA,
// MessageBoxA, DebugBreak).
constexpr intptr_t kInvalidHandle = -1;

// The standard output handle, or kInvalidHandle when the process has none.
intptr_t StdOutputHandle();
// Gives the process a console. POSIX has no such thing: returns false.
bool AllocConsole();
// Writes all len bytes (retrying short writes). False on failure.
bool WriteFile(intptr_t handle, const char* data, size_t len);

// The debugger output channel. By default it writes the text to standard
// error; the host may install its own sink (null restores the default).
typedef void (*DebugOutputFunction)(const char* text);
void OutputDebugString(const char* text);
DebugOutputFunction SetDebugOutput(DebugOutputFunction sink);
// True while a sink installed by SetDebugOutput is in place. The default
// channel shows every message on a line of its own (a debugger does; on
// POSIX, standard error gets a line end after a message without one), so
// callers hand it whole lines; a host's sink receives texts as written.
bool DebugOutputReplaced();

// The blocking prompt that stands in for a message box. style holds the Win32
// flags: 0x1 means OK and Cancel, otherwise OK only. Returns kPromptOk (1) or
// kPromptCancel (2). By default, on an interactive terminal it shows caption
// and text on standard error and reads the answer from the terminal;
// otherwise it answers OK at once and says so on the debug channel. The host
// or a test may install its own prompt (null restores the default).
constexpr int kPromptOk = 1;
constexpr int kPromptCancel = 2;
typedef int (*PromptFunction)(const char* caption, const char* text, unsigned style);
int MessageBox(const char* text, const char* caption, unsigned style);
PromptFunction SetPromptFunction(PromptFunction prompt);

// Breaks into an attached debugger (SIGTRAP); without one, writes a line on
// the debug channel and returns.
void DebugBreak();

// ---------------------------------------------------------------------------
// Interrupts (Win32: SetConsoleCtrlHandler for CTRL_C_EVENT, whose handler
// runs on a thread the OS makes; POSIX: SIGINT, passed by its handler through
// a pipe to a thread of the layer's own, so that the callback never runs in
// a signal handler).
//
// After InstallInterruptHandler, each interrupt calls callback on that
// ordinary thread. An interrupt arriving before the callback has called
// EndInterrupt is swallowed. A callback that returns false passes the
// interrupt on to what was in force before the library installed its
// handler (by default the process ends as by the interrupt). Installing again
// changes the callback and keeps the disposition found the first time. False
// when the handler can't be installed.
typedef bool (*InterruptCallback)();
bool InstallInterruptHandler(InterruptCallback callback);
// Ends the current interrupt: the next one calls the callback again.
void EndInterrupt();

// The status signal (Win32: CTRL_BREAK_EVENT through SetConsoleCtrlHandler;
// POSIX: SIGQUIT, passed by its handler through a pipe to a thread of the
// layer's own). After InstallStatusSignal each such signal calls callback on
// that ordinary thread, never in a signal handler, instead of the signal's
// earlier disposition; signals arriving while the callback runs are merged
// into one more call. RemoveStatusSignal puts the earlier disposition back
// and returns once a callback that is running has returned.
// Both may be called again; false when the handler can't be installed.
typedef void (*StatusCallback)();
bool InstallStatusSignal(StatusCallback callback);
void RemoveStatusSignal();

// Calls prepare in the parent before a fork, then parent in the parent or
// child in the child after it (POSIX pthread_atfork; Win32 has no fork and
// never calls them). True when registered.
bool RegisterForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());

// ---------------------------------------------------------------------------
// Stack capture and symbols, for the deadlock report's stack traces (Win32:
// RtlCaptureStackBackTrace for the calling thread; SuspendThread,
// GetThreadContext and a bounded walk of the EBP frame chain for another,
// with a scan of the stack for return addresses where the chain breaks off;
// GetModuleHandleExA and GetModuleFileNameA for symbols. POSIX: the stack
// signal, SIGRTMIN + 7, whose handler unwinds its own thread with
// _Unwind_Backtrace into a buffer of this layer and posts; dladdr and the
// C++ runtime's demangler for symbols).
//
// Nothing is installed and no thread pays anything until the first capture
// of another thread: the POSIX handler is installed then, once. The handler is
// installed with SA_RESTART, so a thread blocked in a lock wait runs the
// handler and goes back to its wait. A thread that has the signal blocked, or
// (under ThreadSanitizer) has its signals held back while it sleeps in the
// kernel, does not answer within the bound; the capture then reports that.
constexpr int kStackFramesMax = 48;

enum StackCaptureResult : int {
  kStackCaptured = 0,    // frames filled (count may still be 0)
  kStackNoAnswer = 1,    // the thread did not answer within the bound
  kStackUnavailable = 2  // no way to reach the thread (no handle, failed signal)
};

// Records up to max (at most kStackFramesMax) code addresses of the thread
// whose kernel id is thread_id (CurrentThreadId of that thread) and whose
// handle is thread (DuplicateCurrentThread of that thread; may be null where
// the platform goes by the id alone), innermost first, into frames; *count
// gets their number. Each address lies inside the instruction the frame
// executes: the interrupted one for the innermost frame of another thread,
// the call (its return address less one) for the others, so that a call
// that ends a function still names that function. For the calling thread the
// frames start at the caller of CaptureThreadStack; for another thread at
// the code it was running (a system call, for a thread blocked in a wait).
// Waits at most boundMs for another thread to answer. REQUIRES: the thread
// does not end meanwhile (the caller knows it is blocked); not called from a
// signal handler. Any thread may call it; captures are serialised inside.
StackCaptureResult CaptureThreadStack(Handle thread, uint32_t thread_id, void** frames, int max,
                                      int* count, long boundMs);

// What is known of one code address. module is the file name of the module
// (executable or shared library) without its folder, "" when unknown;
// moduleOffset the address less the module's load address. function is the
// demangled name of the enclosing function when the module's symbol table
// names it (POSIX: exported, dynamic symbols only; Win32: never), "" when
// unknown; functionOffset the address less the function's start.
struct FrameSymbol {
  char module[128];
  uintptr_t moduleOffset;
  char function[256];
  uintptr_t functionOffset;
};

// Fills *symbol for address. False, with empty texts, when no module holds
// the address. May allocate; not for signal handlers.
bool DescribeFrame(const void* address, FrameSymbol* symbol);

// The signal number used for stack capture (0 where there is none).
int StackSignal();

}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_PORT_H_

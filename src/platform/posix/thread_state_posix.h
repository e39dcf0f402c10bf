// Shared internals of the POSIX platform layer: the tagged header every
// handle starts with, the per-thread state that ties guards to the thread
// that owns them, and the hooks between the guards, the thread-end processing
// and thread control. Only src/platform/posix/ includes this file.
//
// Thread safety: a ThreadState belongs to its thread. Its fields are read and
// written by that thread alone (the guard code links a guard into its owner's
// list only while it holds the guard's mutex and owns the guard), with one
// exception: once the thread has been terminated and is gone, the thread that
// terminated it takes the state over, repairs what it left and frees it.
#ifndef RE5ZOR4_SRC_PLATFORM_POSIX_THREAD_STATE_POSIX_H_
#define RE5ZOR4_SRC_PLATFORM_POSIX_THREAD_STATE_POSIX_H_

#include <atomic>
#include <cstdint>

namespace re5zor4 {
namespace port {
namespace posix {

// Every Handle this layer gives out points at one of these first. The kind
// tells guards, events and thread handles apart and catches a handle of the
// wrong kind (or one already closed, while its memory lives) before it is
// used. Reading it is not synchronised: a handle must not be closed while
// another thread still uses it.
enum HandleKind : uint32_t {
  kGuardKind = 0x44524147u,   // "GARD"
  kEventKind = 0x544e5645u,   // "EVNT"
  kThreadKind = 0x44524854u,  // "THRD"
  kClosedKind = 0xdeadc105u,
};

struct HandleHeader {
  uint32_t kind;
};

struct GuardObject;
struct ThreadControl;

// What this layer knows about one thread. Made on the thread's first guard,
// ArmThreadEndHook or thread handle, and destroyed by the thread-end
// processing, or, for a terminated thread, by its terminator.
struct ThreadState {
  GuardObject* owned = nullptr;  // head of the guards this thread owns
  bool armed = false;            // call the thread-end hook at thread end
  // Set while the thread has thread handles (thread_control_posix.cpp).
  std::atomic<ThreadControl*> control{nullptr};
  // The library's block for the thread (SetCurrentThreadBlock): handed to
  // the terminated-thread hook when the thread is terminated.
  std::atomic<void*> block{nullptr};

  // Termination is held off while the thread holds a guard's internal mutex
  // (a few instructions), so that no thread ever dies holding it. Both words
  // are touched by the thread and its own signal handler only.
  std::atomic<int> no_abort{0};
  std::atomic<bool> abort_pending{false};

  // Where the thread sleeps inside a guard wait: the guard, the counter of
  // sleepers it added itself to, and the event it waits for while it owns
  // the guard (null otherwise). Written under the guard's mutex; read by the
  // terminator once the thread is gone, to take the sleeper out again.
  std::atomic<GuardObject*> sleeping_on{nullptr};
  std::atomic<int*> sleep_counter{nullptr};
  std::atomic<bool> sleeping_as_owner{false};
};

// The calling thread's state, or null when it has none yet.
ThreadState* CallerState();
// The calling thread's state, made on first use. Null (errno set) only when
// memory or a thread key runs out.
ThreadState* CallerStateOrCreate();

// Frees every guard still owned by state's thread and marks each abandoned.
// REQUIRES: called on that thread (its end processing), or on the thread
// that terminated it once it is gone.
void AbandonGuards(ThreadState* state);

// Undoes what a thread terminated inside a guard wait left behind: its place
// among the sleepers. REQUIRES: state's thread is gone.
void RemoveDeadSleeper(ThreadState* state);

// Called by the thread-end processing before state goes: the thread's
// handles learn that it has ended. When a termination of the thread is
// already under way, the thread ends here and now instead.
void ThreadControlAtEnd(ThreadState* state);

// Frees a thread handle. REQUIRES: kind is kThreadKind.
void DestroyThreadHandle(HandleHeader* handle);

// Ends the calling kernel thread at once, without unwinding: its remaining
// code, destructors and thread-end processing never run. Its thread-specific
// values are emptied first, so that a thread made later on the same stack
// does not inherit them. c, the thread's control block, is the token through
// which its clean-up learns what it did (null when it has none).
// Async-signal-safe.
[[noreturn]] void EndCallingThread(ThreadControl* c);

// Holds termination of the calling thread off while it holds a guard's
// internal mutex; the end of the hold acts on a termination that came
// meanwhile. state may be null: a thread without state has no handle and
// cannot be terminated.
inline void HoldAbort(ThreadState* state) {
  if (state == nullptr) return;
  state->no_abort.store(1, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
}
inline void AllowAbort(ThreadState* state) {
  if (state == nullptr) return;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  state->no_abort.store(0, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (state->abort_pending.load(std::memory_order_relaxed)) {
    EndCallingThread(state->control.load(std::memory_order_relaxed));
  }
}

// Writes a message on standard error and aborts: for system calls that can
// only fail when memory is corrupt.
[[noreturn]] void DieOnImpossible(const char* call, int error);

}  // namespace posix
}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_POSIX_THREAD_STATE_POSIX_H_

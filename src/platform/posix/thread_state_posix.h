// Shared internals of the POSIX platform layer: the tagged header every
// handle starts with, and the per-thread state that ties guards to the thread
// that owns them. Only src/platform/posix/ includes this file.
//
// Thread safety: a ThreadState belongs to its thread. Its fields are read and
// written by that thread alone (the guard code links a guard into its owner's
// list only while it holds the guard's mutex and owns the guard).
#ifndef RE5ZOR4_SRC_PLATFORM_POSIX_THREAD_STATE_POSIX_H_
#define RE5ZOR4_SRC_PLATFORM_POSIX_THREAD_STATE_POSIX_H_

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

// What this layer knows about one thread. Made on the thread's first guard
// or ArmThreadEndHook and destroyed by the thread-end processing.
struct ThreadState {
  GuardObject* owned = nullptr;  // head of the guards this thread owns
  bool armed = false;            // call the thread-end hook at thread end
};

// The calling thread's state, or null when it has none yet.
ThreadState* CallerState();
// The calling thread's state, made on first use. Null (errno set) only when
// memory or a thread key runs out.
ThreadState* CallerStateOrCreate();

// Frees every guard still owned by state's thread and marks each abandoned.
// REQUIRES: called on that thread (its end processing).
void AbandonGuards(ThreadState* state);

// Frees a handle made by DuplicateCurrentThread. REQUIRES: kind is
// kThreadKind.
void DestroyThreadHandle(HandleHeader* handle);

// Writes a message on standard error and aborts: for system calls that can
// only fail when memory is corrupt.
[[noreturn]] void DieOnImpossible(const char* call, int error);

}  // namespace posix
}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_POSIX_THREAD_STATE_POSIX_H_

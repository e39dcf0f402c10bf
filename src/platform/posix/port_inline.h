// The inline part of the platform layer on Linux: the recursive lock and the
// fast per-thread slots (see platform/port.h for their contracts).
//
// The recursive lock (platform/recursive_lock_inline.h) sleeps on a futex.
// Its holder id is a per-thread serial number, assigned on the thread's first
// lock from a process-wide 64-bit counter and kept in an initial-exec
// thread-local: one load, like reading the thread pointer, but never handed
// to a later thread the way glibc reuses a thread's control block (and so its
// pointer) for the next thread it creates.
#ifndef RE5ZOR4_SRC_PLATFORM_POSIX_PORT_INLINE_H_
#define RE5ZOR4_SRC_PLATFORM_POSIX_PORT_INLINE_H_

#include <atomic>
#include <cstdint>

#include "platform/port.h"

namespace re5zor4 {
namespace port {

// Initial-exec: the library is loaded with the program or by dlopen early
// enough for the static TLS surplus glibc keeps for such variables.
extern __thread uintptr_t t_lockOwnerId __attribute__((tls_model("initial-exec")));
extern __thread void* t_threadBlock __attribute__((tls_model("initial-exec")));

// Gives the calling thread its id. Never returns 0.
uintptr_t AssignLockOwnerId();

inline uintptr_t LockOwnerId() {
  const uintptr_t id = t_lockOwnerId;
  return __builtin_expect(id != 0, 1) ? id : AssignLockOwnerId();
}

inline void* CurrentThreadBlock() {
  return t_threadBlock;
}

}  // namespace port
}  // namespace re5zor4

#include "platform/recursive_lock_inline.h"

#endif  // RE5ZOR4_SRC_PLATFORM_POSIX_PORT_INLINE_H_

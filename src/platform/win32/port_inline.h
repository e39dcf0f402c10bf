// The inline part of the platform layer on Win32: the recursive lock and the
// fast per-thread slots (see platform/port.h for their contracts).
//
// Per-thread values live in TLS slots, read straight from the thread's
// environment block (the TlsSlots array at fs:0xE10 on i686, where
// TlsGetValue itself reads the first 64 slots): one load, no call. MinGW's
// thread_local is emulated (a call per access) and stays off these paths.
// The slots are allocated when the module loads, so they are among the first
// 64; a later slot falls back on the out-of-line TlsGetValue.
//
// The recursive lock (platform/recursive_lock_inline.h) sleeps in
// WaitOnAddress. The holder's id is a per-thread serial number
// that is never given to a later thread, unlike a thread id, which Windows
// reuses: a section whose holder ended stays held, and no later thread with
// the same id "re-enters" it, which CRITICAL_SECTION (owner: thread id)
// cannot promise.
#ifndef RE5ZOR4_SRC_PLATFORM_WIN32_PORT_INLINE_H_
#define RE5ZOR4_SRC_PLATFORM_WIN32_PORT_INLINE_H_

#include <atomic>
#include <cstdint>

#include "platform/port.h"

namespace re5zor4 {
namespace port {

// The slots of the lock owner id and of the thread block: kNoSlot until the
// module allocates them (a static initialiser of another file may come
// first, and then takes the slow read, which allocates them).
constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
extern uint32_t g_ownerSlot;
extern uint32_t g_blockSlot;
void* ReadSlowSlot(const uint32_t* slot);

inline void* ReadSlot(const uint32_t* slot_variable) {
#if defined(__i386__)
  const uint32_t slot = *slot_variable;
  if (__builtin_expect(slot < 64, 1)) {
    void* value;
    __asm__ volatile("movl %%fs:0xE10(,%1,4), %0" : "=r"(value) : "r"(slot));
    return value;
  }
#endif
  return ReadSlowSlot(slot_variable);
}

// Gives the calling thread its id. Never returns 0.
uintptr_t AssignLockOwnerId();

inline uintptr_t LockOwnerId() {
  const uintptr_t id = reinterpret_cast<uintptr_t>(ReadSlot(&g_ownerSlot));
  return __builtin_expect(id != 0, 1) ? id : AssignLockOwnerId();
}

inline void* CurrentThreadBlock() {
  return ReadSlot(&g_blockSlot);
}

}  // namespace port
}  // namespace re5zor4

#include "platform/recursive_lock_inline.h"

#endif  // RE5ZOR4_SRC_PLATFORM_WIN32_PORT_INLINE_H_

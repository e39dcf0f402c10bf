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
// RecursiveLock is the three-state word of the POSIX side (0 free, 1 held,
// 2 held and maybe sleepers) with the holder's id and recursion count,
// sleeping in WaitOnAddress. The holder's id is a per-thread serial number
// that is never given to a later thread, unlike a thread id, which Windows
// reuses: a section whose holder ended stays held, and no later thread with
// the same id "re-enters" it, which CRITICAL_SECTION (owner: thread id)
// cannot promise.
#ifndef RE5ZOR4_SRC_PLATFORM_WIN32_PORT_INLINE_H_
#define RE5ZOR4_SRC_PLATFORM_WIN32_PORT_INLINE_H_

#include <atomic>
#include <cassert>
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

class RecursiveLock {
 public:
  RecursiveLock() : word_(0), owner_(0), count_(0) {}
  ~RecursiveLock() = default;

  void Enter() {
    const uintptr_t self = LockOwnerId();
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++count_;
      return;
    }
    uint32_t expected = 0;
    if (!word_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      EnterContended();
    }
    owner_.store(self, std::memory_order_relaxed);
    count_ = 1;
  }

  bool TryEnter() {
    const uintptr_t self = LockOwnerId();
    if (owner_.load(std::memory_order_relaxed) == self) {
      ++count_;
      return true;
    }
    uint32_t expected = 0;
    if (!word_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      return false;
    }
    owner_.store(self, std::memory_order_relaxed);
    count_ = 1;
    return true;
  }

  // REQUIRES: HeldByCaller() (checked in debug builds).
  void Leave() {
    assert(HeldByCaller());
    if (--count_ > 0) return;
    owner_.store(0, std::memory_order_relaxed);
    if (word_.exchange(0, std::memory_order_release) == 2) WakeOne();
  }

  bool HeldByCaller() const { return owner_.load(std::memory_order_relaxed) == LockOwnerId(); }
  int RecursionCount() const { return HeldByCaller() ? count_ : 0; }

  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

 private:
  void EnterContended();
  void WakeOne();

  std::atomic<uint32_t> word_;
  std::atomic<uintptr_t> owner_;  // 0 while free; written by the holder only
  int count_;                     // read and written by the holder only
};

}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_WIN32_PORT_INLINE_H_

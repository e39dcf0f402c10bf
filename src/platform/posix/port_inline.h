// The inline part of the platform layer on Linux: the recursive lock and the
// fast per-thread slots (see platform/port.h for their contracts).
//
// RecursiveLock is a futex word in the manner of the classic three-state
// mutex (0 free, 1 held, 2 held and maybe sleepers), plus the holder's id and
// recursion count. The id is a per-thread serial number, assigned on the
// thread's first lock from a process-wide 64-bit counter and kept in an
// initial-exec thread-local: one load, like reading the thread pointer, but
// never handed to a later thread the way glibc reuses a thread's control
// block (and so its pointer) for the next thread it creates. The holder alone
// writes owner_ and count_, so the re-entry test is one relaxed load and a
// compare, and re-entry one increment: no read-modify-write.
#ifndef RE5ZOR4_SRC_PLATFORM_POSIX_PORT_INLINE_H_
#define RE5ZOR4_SRC_PLATFORM_POSIX_PORT_INLINE_H_

#include <atomic>
#include <cassert>
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

#endif  // RE5ZOR4_SRC_PLATFORM_POSIX_PORT_INLINE_H_

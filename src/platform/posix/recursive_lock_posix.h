// RecursiveLock on Linux: a futex word in the manner of the classic
// three-state mutex (0 free, 1 held, 2 held and maybe sleepers), plus the
// holder's identity and recursion count.
//
// The identity is the thread pointer (what pthread_self() returns): cheaper
// than the kernel id (a system call) or a thread_local in a shared object (a
// __tls_get_addr call). The holder alone writes owner_ and count_, so the
// re-entry test is one relaxed load and a compare, and re-entry one
// increment: no read-modify-write.
#ifndef RE5ZOR4_SRC_PLATFORM_POSIX_RECURSIVE_LOCK_POSIX_H_
#define RE5ZOR4_SRC_PLATFORM_POSIX_RECURSIVE_LOCK_POSIX_H_

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace re5zor4 {
namespace port {

class RecursiveLock {
 public:
  RecursiveLock() : word_(0), owner_(0), count_(0) {}
  ~RecursiveLock() = default;

  void Enter() {
    const uintptr_t self = Self();
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

  void Leave() {
    if (--count_ > 0) return;
    owner_.store(0, std::memory_order_relaxed);
    if (word_.exchange(0, std::memory_order_release) == 2) WakeOne();
  }

  bool HeldByCaller() const { return owner_.load(std::memory_order_relaxed) == Self(); }
  int RecursionCount() const { return HeldByCaller() ? count_ : 0; }

  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

 private:
  // The thread pointer: on x86-64 Linux the first word of the thread control
  // block points at itself, and it is unique among live threads. Elsewhere
  // pthread_self() gives the same identity at the price of a call.
  static uintptr_t Self() {
#if defined(__x86_64__) && defined(__linux__)
    uintptr_t self;
    __asm__("mov %%fs:0, %0" : "=r"(self));
    return self;
#else
    return static_cast<uintptr_t>(pthread_self());
#endif
  }
  void EnterContended();
  void WakeOne();

  std::atomic<uint32_t> word_;
  std::atomic<uintptr_t> owner_;  // 0 while free; written by the holder only
  int count_;                     // read and written by the holder only
};

}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_POSIX_RECURSIVE_LOCK_POSIX_H_

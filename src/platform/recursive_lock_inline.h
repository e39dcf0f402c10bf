// The recursive lock shared by every platform, included by each folder's
// "port_inline.h" after it has defined LockOwnerId(); each folder defines
// the out-of-line EnterContended (sleep while the word is 2) and WakeOne.
//
// The word follows the classic three-state protocol: 0 free, 1 held, 2 held
// and maybe sleepers; whoever sleeps has set it to 2, so Leave knows to wake.
// Beside it, the holder's id and recursion count. The holder alone writes
// owner_ and count_, so the re-entry test is one relaxed load and a compare,
// and re-entry one increment: no read-modify-write.
#ifndef RE5ZOR4_SRC_PLATFORM_RECURSIVE_LOCK_INLINE_H_
#define RE5ZOR4_SRC_PLATFORM_RECURSIVE_LOCK_INLINE_H_

#include <atomic>
#include <cassert>
#include <cstdint>

namespace re5zor4 {
namespace port {

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

#endif  // RE5ZOR4_SRC_PLATFORM_RECURSIVE_LOCK_INLINE_H_

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/port.h"

namespace re5zor4 {
namespace port {
namespace {

constexpr int kSpins = 64;

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word must be 32 bits");

// A short spin first: on two cores the holder usually leaves within a few
// hundred cycles, and a sleep costs two system calls. Then the three-state
// protocol: whoever sleeps has set the word to 2, so Leave knows to wake.
void RecursiveLock::EnterContended() {
  for (int i = 0; i < kSpins; ++i) {
    uint32_t expected = 0;
    if (word_.load(std::memory_order_relaxed) == 0 &&
        word_.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                    std::memory_order_relaxed)) {
      return;
    }
    CpuRelax();
  }
  while (word_.exchange(2, std::memory_order_acquire) != 0) FutexWait(&word_, 2);
}

void RecursiveLock::WakeOne() {
  FutexWake(&word_);
}

}  // namespace port
}  // namespace re5zor4

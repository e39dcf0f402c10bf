// The futex calls of the POSIX layer (Linux), in one place. Private waits
// only: every word lives in this process.
#ifndef RE5ZOR4_SRC_PLATFORM_POSIX_FUTEX_POSIX_H_
#define RE5ZOR4_SRC_PLATFORM_POSIX_FUTEX_POSIX_H_

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace re5zor4 {
namespace port {
namespace posix {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word must be 32 bits");

// Sleeps while *word == expected; returns early on a wake, a signal or a
// spurious wake-up: callers re-check their condition.
inline void FutexWait(std::atomic<uint32_t>* word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

inline void FutexWake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr,
          0);
}

inline void FutexWakeAll(std::atomic<uint32_t>* word) {
  FutexWake(word, INT_MAX);
}

}  // namespace posix
}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_POSIX_FUTEX_POSIX_H_

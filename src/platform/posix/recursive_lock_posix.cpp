#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/port.h"

namespace re5zor4 {
namespace port {
namespace {

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word must be 32 bits");

// The three-state protocol: whoever sleeps has set the word to 2, so Leave
// knows to wake. No spinning first: measured on two cores, a waiter that spins
// only steals cache-line ownership from a holder that is about to re-enter,
// and halves the contended throughput.
void RecursiveLock::EnterContended() {
  while (word_.exchange(2, std::memory_order_acquire) != 0) FutexWait(&word_, 2);
}

void RecursiveLock::WakeOne() {
  FutexWake(&word_);
}

}  // namespace port
}  // namespace re5zor4

// The out-of-line half of the recursive lock and the fast per-thread slots.
#include <atomic>

#include "platform/posix/futex_posix.h"
#include "platform/posix/thread_state_posix.h"
#include "port_inline.h"

namespace re5zor4 {
namespace port {

__thread uintptr_t t_lockOwnerId __attribute__((tls_model("initial-exec"))) = 0;
__thread void* t_threadBlock __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {
// 64 bits: a process would have to start a thread every nanosecond for five
// centuries to run out.
std::atomic<uint64_t> g_nextLockOwnerId{1};
}  // namespace

void SetCurrentThreadBlock(void* block) {
  t_threadBlock = block;
  if (posix::ThreadState* state = posix::CallerState()) {
    state->block.store(block, std::memory_order_release);
  }
}

uintptr_t AssignLockOwnerId() {
  const uintptr_t id =
      static_cast<uintptr_t>(g_nextLockOwnerId.fetch_add(1, std::memory_order_relaxed));
  t_lockOwnerId = id;
  return id;
}

// The three-state protocol: whoever sleeps has set the word to 2, so Leave
// knows to wake. No spinning first: measured on two cores, a waiter that spins
// only steals cache-line ownership from a holder that is about to re-enter,
// and halves the contended throughput.
void RecursiveLock::EnterContended() {
  while (word_.exchange(2, std::memory_order_acquire) != 0) posix::FutexWait(&word_, 2);
}

void RecursiveLock::WakeOne() {
  posix::FutexWake(&word_, 1);
}

}  // namespace port
}  // namespace re5zor4

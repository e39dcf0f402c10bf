// The out-of-line half of the recursive lock and the fast per-thread slots.
#include <atomic>

#include "platform/win32/win32_base.h"
#include "port_inline.h"

namespace re5zor4 {
namespace port {

uint32_t g_ownerSlot = kNoSlot;
uint32_t g_blockSlot = kNoSlot;

namespace {

// 32 bits on i686: four thousand million threads before a number comes back.
std::atomic<uintptr_t> g_nextLockOwnerId{1};

INIT_ONCE g_slotsOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK AllocateSlots(PINIT_ONCE, PVOID, PVOID*) {
  const DWORD owner = ::TlsAlloc();
  const DWORD block = ::TlsAlloc();
  if (owner == TLS_OUT_OF_INDEXES || block == TLS_OUT_OF_INDEXES) {
    // Without its two slots the library cannot tell threads apart.
    static const char kText[] = "re5zor4: TlsAlloc failed\r\n";
    DWORD written;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kText, sizeof kText - 1, &written, nullptr);
    ::ExitProcess(3);
  }
  __atomic_store_n(&g_ownerSlot, owner, __ATOMIC_RELEASE);
  __atomic_store_n(&g_blockSlot, block, __ATOMIC_RELEASE);
  return TRUE;
}

void EnsureSlots() {
  ::InitOnceExecuteOnce(&g_slotsOnce, &AllocateSlots, nullptr, nullptr);
}

// Allocated as the module loads, ahead of any slot the host or the library
// asks for later, so that both fall among the first 64.
const bool g_slotsReady [[maybe_unused]] = (EnsureSlots(), true);

}  // namespace

void* ReadSlowSlot(const uint32_t* slot) {
  if (__atomic_load_n(slot, __ATOMIC_ACQUIRE) == kNoSlot) EnsureSlots();
  const DWORD saved = ::GetLastError();  // TlsGetValue clears it
  void* value = ::TlsGetValue(__atomic_load_n(slot, __ATOMIC_ACQUIRE));
  ::SetLastError(saved);
  return value;
}

void SetCurrentThreadBlock(void* block) {
  EnsureSlots();
  ::TlsSetValue(g_blockSlot, block);
  win32::NoteCallerBlock(block);
}

uintptr_t AssignLockOwnerId() {
  EnsureSlots();
  const uintptr_t id = g_nextLockOwnerId.fetch_add(1, std::memory_order_relaxed);
  ::TlsSetValue(g_ownerSlot, reinterpret_cast<void*>(id));
  return id;
}

// The three-state protocol: whoever sleeps has set the word to 2, so Leave
// knows to wake.
void RecursiveLock::EnterContended() {
  uint32_t sleeping = 2;
  while (word_.exchange(2, std::memory_order_acquire) != 0) {
    ::WaitOnAddress(&word_, &sleeping, sizeof sleeping, INFINITE);
  }
}

void RecursiveLock::WakeOne() {
  ::WakeByAddressSingle(&word_);
}

}  // namespace port
}  // namespace re5zor4

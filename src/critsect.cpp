// Critical sections, their factories and the synchronisation chain.
#include "re5zor4/critsect.h"

#include <cstdio>
#include <new>

#include "internal.h"
#include "platform/port.h"

namespace re5zor4 {
namespace {

// The chain. head is guarded by the chain lock (when there is one; before
// start-up and after shut-down the switch is off and nobody links).
ZnSynchroObj* g_chainHead = nullptr;
std::atomic<ZnCritSect*> g_chainLock{nullptr};
// Registration switch: 1 off, 0 on.
std::atomic<int> g_registrationOff{1};

// The CritSectCritSect slot and the deadlock-detection flag. Their addresses
// are handed to the host as plain pointers, so they are atomics with the
// layout of the plain type.
std::atomic<ZnCritSect*> g_critSectCritSect{nullptr};
std::atomic<int> g_deadlockDetection{0};
static_assert(sizeof(std::atomic<ZnCritSect*>) == sizeof(ZnCritSect*), "slot layout");
static_assert(sizeof(std::atomic<int>) == sizeof(int), "flag layout");

class ChainGuard {
 public:
  ChainGuard() : lock_(g_chainLock.load(std::memory_order_acquire)) {
    if (lock_ != nullptr) lock_->Begin();
  }
  ~ChainGuard() {
    if (lock_ != nullptr) lock_->Exit();
  }
  ChainGuard(const ChainGuard&) = delete;
  ChainGuard& operator=(const ChainGuard&) = delete;

 private:
  ZnCritSect* lock_;
};

port::RecursiveLock* LockOf(unsigned char* storage) {
  return std::launder(reinterpret_cast<port::RecursiveLock*>(storage));
}

}  // namespace

void ZnSynchroChain(ZnSynchroObj* obj, int link) {
  ChainGuard guard;
  if (link != 0) {
    obj->next = g_chainHead;
    obj->prev = nullptr;
    if (g_chainHead != nullptr) g_chainHead->prev = obj;
    g_chainHead = obj;
    return;
  }
  if (obj->prev != nullptr) obj->prev->next = obj->next;
  if (obj->next != nullptr) obj->next->prev = obj->prev;
  if (g_chainHead == obj) g_chainHead = obj->next;
  obj->next = nullptr;
  obj->prev = nullptr;
}

void ChainReset() {
  g_chainHead = nullptr;
}

void ChainInstallLock(ZnCritSect* lock) {
  g_chainLock.store(lock, std::memory_order_release);
}

void ChainSetRegistration(bool on) {
  g_registrationOff.store(on ? 0 : 1, std::memory_order_release);
}

void ChainEmpty() {
  ChainGuard guard;
  ZnSynchroObj* obj = g_chainHead;
  while (obj != nullptr) {
    ZnSynchroObj* next = obj->next;
    obj->next = nullptr;
    obj->prev = nullptr;
    obj = next;
  }
  g_chainHead = nullptr;
}

ZnCritSect* CritSectCritSect() {
  return g_critSectCritSect.load(std::memory_order_acquire);
}

ZnCritSect* ExchangeCritSectCritSect(ZnCritSect* section) {
  return g_critSectCritSect.exchange(section, std::memory_order_acq_rel);
}

ZnCritSect* ChainTakeLock() {
  return g_chainLock.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace re5zor4

using re5zor4::g_deadlockDetection;
using re5zor4::g_registrationOff;

// ---------------------------------------------------------------------------
// ZnSynchroObj

ZnSynchroObj::ZnSynchroObj(const char* objName) : name(objName), next(nullptr), prev(nullptr) {
  if (g_registrationOff.load(std::memory_order_acquire) == 0) re5zor4::ZnSynchroChain(this, 1);
}

ZnSynchroObj::~ZnSynchroObj() {
  if (g_registrationOff.load(std::memory_order_acquire) == 0) re5zor4::ZnSynchroChain(this, 0);
}

void ZnSynchroObj::ForceRelease() {}

void ReleaseAllSynchronizationObjects() {
  re5zor4::ChainGuard guard;
  for (ZnSynchroObj* obj = re5zor4::g_chainHead; obj != nullptr; obj = obj->next) {
    obj->ForceRelease();
  }
}

// ---------------------------------------------------------------------------
// ZnCritSect

ZnCritSect::ZnCritSect(const char* sectionName)
    : ZnSynchroObj(sectionName), owningCount(0), waitCount(0) {}

ZnCritSect::~ZnCritSect() = default;

void ZnCritSect::ForceRelease() {}
void ZnCritSect::Begin() {}
void ZnCritSect::Exit() {}

void ZnCritSect::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return;
  std::snprintf(buffer, static_cast<size_t>(capacity), "%s: owning count: %ld; wait count: %ld",
                name, static_cast<long>(owningCount.load(std::memory_order_relaxed)),
                static_cast<long>(waitCount.load(std::memory_order_relaxed)));
}

ZnCritSect* ZnCritSect::Make(const char* sectionName) {
  ZnCritSect* impl = MakeImplementation(sectionName);
  if (impl == nullptr || g_deadlockDetection.load(std::memory_order_acquire) == 0) return impl;
  return re5zor4::MakeDeadlockDetecting(sectionName, impl);
}

ZnCritSect* ZnCritSect::MakeLight(const char* sectionName) {
  return Make(sectionName);
}

ZnCritSect* ZnCritSect::MakeImplementation(const char* sectionName) {
  return new (std::nothrow) Win32CritSect(sectionName);
}

// ---------------------------------------------------------------------------
// Win32CritSect

static_assert(sizeof(re5zor4::port::RecursiveLock) <= 48, "lock storage too small");
static_assert(alignof(re5zor4::port::RecursiveLock) <= 16, "lock storage misaligned");

Win32CritSect::Win32CritSect(const char* sectionName) : ZnCritSect(sectionName) {
  new (lock_) re5zor4::port::RecursiveLock();
}

Win32CritSect::~Win32CritSect() {
  re5zor4::LockOf(lock_)->~RecursiveLock();
}

void Win32CritSect::Begin() {
  re5zor4::LockOf(lock_)->Enter();
}

void Win32CritSect::Exit() {
  re5zor4::LockOf(lock_)->Leave();
}

void Win32CritSect::ForceRelease() {
  re5zor4::port::RecursiveLock* lock = re5zor4::LockOf(lock_);
  if (!lock->HeldByCaller()) return;
  while (lock->RecursionCount() != 0) Exit();
}

// ---------------------------------------------------------------------------
// Process-wide accessors

ZnCritSect** ZnGetCritSectCritSect() {
  return reinterpret_cast<ZnCritSect**>(&re5zor4::g_critSectCritSect);
}

int* ZnGetDeadLockDetectionEnabled() {
  return reinterpret_cast<int*>(&g_deadlockDetection);
}

int ZnSetDeadLockDetection(int enabled) {
  return g_deadlockDetection.exchange(enabled, std::memory_order_acq_rel);
}

ZnCritSect* ZnMakeCritSectCritSect() {
  return ZnCritSect::MakeImplementation("DeadLockDetectionCS");
}

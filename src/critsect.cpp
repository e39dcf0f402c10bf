// Critical sections, their factories, the plain section and the exported face
// of the synchronisation chain (core/chain).
#include "re5zor4/critsect.h"

#include <cstdio>
#include <new>

#include "core/chain.h"
#include "core/contention.h"
#include "core/seam.h"
#include "port_inline.h"
#include "re5zor4/dldcritsect.h"
#include "ru5red4/znassert.h"

namespace re5zor4 {
namespace {

const char kSourceName[] = "src\\critsect";

port::RecursiveLock* LockOf(unsigned char* storage) {
  return std::launder(reinterpret_cast<port::RecursiveLock*>(storage));
}

// The CritSectCritSect slot and the deadlock-detection flag are handed to the
// host as plain pointers: atomics with the layout of the plain type.
static_assert(sizeof(std::atomic<ZnCritSect*>) == sizeof(ZnCritSect*), "slot layout");
static_assert(sizeof(std::atomic<int>) == sizeof(int), "flag layout");

}  // namespace
}  // namespace re5zor4

using re5zor4::g_deadlockDetection;
namespace chain = re5zor4::chain;

// ---------------------------------------------------------------------------
// ZnSynchroObj

ZnSynchroObj::ZnSynchroObj(const char* objName) : name(objName), next(nullptr), prev(nullptr) {
  chain::RegisterFromBase(this);
}

ZnSynchroObj::~ZnSynchroObj() {
  chain::Unregister(this);
}

void ZnSynchroObj::ForceRelease() {}

void ReleaseAllSynchronizationObjects() {
  chain::ForceReleaseAll();
}

// ---------------------------------------------------------------------------
// ZnCritSect

ZnCritSect::ZnCritSect(const char* sectionName)
    : ZnSynchroObj(sectionName), owningCount(0), waitCount(0) {}

ZnCritSect::~ZnCritSect() = default;

void ZnCritSect::ForceRelease() {}
void ZnCritSect::Begin() {}
void ZnCritSect::Exit() {}
int ZnCritSect::TryBegin() {
  return 1;
}
int ZnCritSect::HoldCount() {
  return 0;
}
int ZnCritSect::DetectsDeadlocks() {
  return 0;
}

void ZnCritSect::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return;
  std::snprintf(buffer, static_cast<size_t>(capacity), "%s: owning count: %ld; wait count: %ld",
                name, static_cast<long>(owningCount.load(std::memory_order_relaxed)),
                static_cast<long>(waitCount.load(std::memory_order_relaxed)));
}

ZnCritSect* ZnCritSect::Make(const char* sectionName) {
  ZnCritSect* impl = MakeImplementation(sectionName);
  if (impl == nullptr || g_deadlockDetection.load(std::memory_order_acquire) == 0) return impl;
  // Without memory for the wrapper, the plain section still locks.
  ZnCritSect* const section = re5zor4::seam::New<ZnDLDCritSect>(sectionName, impl);
  return section != nullptr ? section : impl;
}

ZnCritSect* ZnCritSect::MakeLight(const char* sectionName) {
  return Make(sectionName);
}

ZnCritSect* ZnCritSect::MakeImplementation(const char* sectionName) {
  return re5zor4::seam::New<Win32CritSect>(sectionName);
}

// ---------------------------------------------------------------------------
// Win32CritSect

static_assert(sizeof(re5zor4::port::RecursiveLock) <= 48, "lock storage too small");
static_assert(alignof(re5zor4::port::RecursiveLock) <= 16, "lock storage misaligned");

Win32CritSect::Win32CritSect(const char* sectionName)
    : ZnCritSect(chain::DeferLink(sectionName)), contention{{0}, {0}, {0}} {
  new (lock_) re5zor4::port::RecursiveLock();
  chain::Register(this);
}

Win32CritSect::~Win32CritSect() {
  chain::Unregister(this);
  re5zor4::LockOf(lock_)->~RecursiveLock();
}

// The try is the whole uncontended entry; only an entry that has to wait
// reads the clock and counts.
void Win32CritSect::Begin() {
  re5zor4::port::RecursiveLock* lock = re5zor4::LockOf(lock_);
  if (lock->TryEnter()) return;
  const uint64_t start = re5zor4::contention::Now();
  lock->Enter();
  re5zor4::contention::Record(contention, start);
}

// An Exit by a thread that does not hold the section is refused: leaving it
// would release another thread's hold.
void Win32CritSect::Exit() {
  re5zor4::port::RecursiveLock* lock = re5zor4::LockOf(lock_);
  if (!lock->HeldByCaller()) {
    ZARN_assert("this->HeldByCaller()", re5zor4::kSourceName, __LINE__);
    return;
  }
  lock->Leave();
}

int Win32CritSect::TryBegin() {
  return re5zor4::LockOf(lock_)->TryEnter() ? 1 : 0;
}

int Win32CritSect::HoldCount() {
  return re5zor4::LockOf(lock_)->RecursionCount();
}

void Win32CritSect::ForceRelease() {
  re5zor4::port::RecursiveLock* lock = re5zor4::LockOf(lock_);
  if (!lock->HeldByCaller()) return;
  while (lock->RecursionCount() != 0) Exit();
}

// ---------------------------------------------------------------------------
// Process-wide accessors

ZnCritSect** ZnGetCritSectCritSect() {
  return reinterpret_cast<ZnCritSect**>(re5zor4::g_critSectCritSect.Word());
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

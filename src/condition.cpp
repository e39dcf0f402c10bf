// Conditions and their logic classes.
//
// The guard-and-signal wait.
//
// The problem. A waiter tests the value under the guard and, when it is not
// ready, must sleep without the guard (or no Set could get in), yet must not
// miss a Set made between its test and the start of its sleep, and must hold
// the guard again when it tests after waking.
//
// The chosen way. Each condition has a recursive, abandonable guard and an
// auto-reset event that belongs to it, and one wait that takes the guard and
// consumes the event together (Win32: WaitForMultipleObjects, wait all; the
// platform layer reproduces exactly that joint wait elsewhere, so this file
// is written once for every platform). Set changes the value and signals
// while it still holds the guard; a waiter whose test fails leaves the guard
// and enters the joint wait. The invariants, cited where they are kept:
//
//   VALUE_UNDER_GUARD  every test and change of the value made by Set, Clear,
//     Wait and GetInfo, and by an owner between Lock and Unlock, happens while
//     the calling thread holds the guard. The one exception is a guard wait
//     that failed outright: it is reported and the operation goes on
//     unguarded.
//   NO_LOST_WAKEUP  a Set made between a waiter's failed test and the start of
//     its sleep is not lost: Set signals under the guard, and the auto-reset
//     event stays signalled until one joint wait consumes it, so that waiter
//     (or the next one to sleep) wakes at once and tests again.
//   WOKEN_HOLDS_GUARD  a waiter comes out of the joint wait holding the guard,
//     so its test, and what a keepLocked caller does next, is atomic with
//     respect to every other user of the condition.
//   WAKEUP_PASSED_ON  one Set signals the event once, which wakes at most one
//     sleeper. A waiter that slept and finds the value ready signals once
//     more before it leaves the guard; a waiter that finds it not ready
//     consumes the signal and sleeps again without passing it on. So when one
//     Set makes the value ready for several sleepers, they wake one after
//     another and each returns while the value is still ready when its turn
//     comes; one whose turn comes after the value has moved back waits for the
//     next Set. Two Sets made before any sleeper wakes also signal only once;
//     passing on is what wakes the second sleeper. A passed-on signal that
//     finds nobody costs the next waiter one extra test.
//
// Rejected: a plain condition variable over the guard, which cannot express
// the recursive, abandonable guard that owners rely on between Lock and
// Unlock; waking every sleeper on every Set, which for a watcher counting
// down wakes every waiter at each decrement, mostly to find the count not yet
// zero;
// leaving the extra wake-ups to each user (one Set per waiter), which would
// need a waiter count in every user.
//
// Not guaranteed: which sleeper a Set wakes, or any order among waiters. A
// Clear never signals, so a Clear that makes the value ready (the default
// logic going from 0 to -1) wakes nobody until the next Set. A thread that
// sleeps in Wait while holding the guard keeps every Set out and never
// returns (hence Wait's REQUIRES). A guard wait that fails outright is reported and
// retried every millisecond, without end if the platform objects were never
// made.
#include "re5zor4/condition.h"

#include <cstdio>
#include <new>

#include "core/chain.h"
#include "core/seam.h"
#include "platform/port.h"
#include "re5zor4/smp_debug.h"

namespace re5zor4 {
namespace {

constexpr long kConditionErrorBit = 0x00010000;

ConditionLogic g_defaultLogic;
ReaderCounter g_readerCounter;
__ResourceLogic g_resourceLogic;
__LockableResourceLogic g_lockableLogic;

void ReportLine(const char* text) {
  if (!ZnDebugLevelHas(kConditionErrorBit)) return;
  smp_debug* out = GetDebugger();
  *out << text << endl;
}

void ReportFailure(const char* text, unsigned long error) {
  if (!ZnDebugLevelHas(kConditionErrorBit)) return;
  smp_debug* out = GetDebugger();
  *out << text << error << endl;
}

}  // namespace
}  // namespace re5zor4

namespace port = re5zor4::port;

// ---------------------------------------------------------------------------
// Logic classes: plain arithmetic, serialised by the condition's guard.

void ConditionLogic::SafeSet(int* value) {
  ++*value;
}
void ConditionLogic::SafeClear(int* value) {
  --*value;
}
int ConditionLogic::SafeTest(int* value) {
  return *value == 0;
}
ConditionLogic* ConditionLogic::Instance() {
  return &re5zor4::g_defaultLogic;
}

void ReaderCounter::SafeSet(int* value) {
  --*value;
}
void ReaderCounter::SafeClear(int* value) {
  ++*value;
}
int ReaderCounter::SafeTest(int* value) {
  return *value != 0;
}
ReaderCounter* ReaderCounter::Instance() {
  return &re5zor4::g_readerCounter;
}

void __ResourceLogic::SafeSet(int* value) {
  --*value;
}
void __ResourceLogic::SafeClear(int* value) {
  ++*value;
}
int __ResourceLogic::SafeTest(int* value) {
  return *value != 0;
}
__ResourceLogic* __ResourceLogic::Instance() {
  return &re5zor4::g_resourceLogic;
}

// The count lives in bits 0 to 30 and bit 31 is carried over; the 31-bit
// result is deliberately not masked again (0 - 1 gives 0xFFFFFFFF).
namespace {
constexpr unsigned kLockBit = 0x80000000u;
constexpr unsigned kCountBits = 0x7FFFFFFFu;
}  // namespace

void __LockableResourceLogic::SafeSet(int* value) {
  const unsigned v = static_cast<unsigned>(*value);
  *value = static_cast<int>(((v & kCountBits) - 1u) | (v & kLockBit));
}
void __LockableResourceLogic::SafeClear(int* value) {
  const unsigned v = static_cast<unsigned>(*value);
  *value = static_cast<int>(((v & kCountBits) + 1u) | (v & kLockBit));
}
int __LockableResourceLogic::SafeTest(int* value) {
  return (static_cast<unsigned>(*value) & kCountBits) != 0;
}
__LockableResourceLogic* __LockableResourceLogic::Instance() {
  return &re5zor4::g_lockableLogic;
}

// ---------------------------------------------------------------------------
// Condition: the unguarded base.

Condition::Condition(const char* conditionName)
    : ZnSynchroObj(conditionName), logic(ConditionLogic::Instance()), value(0) {}

Condition::~Condition() {
  logic = nullptr;
}

int Condition::Set() {
  logic->SafeSet(&value);
  return value;
}

int Condition::Clear() {
  logic->SafeClear(&value);
  return value;
}

int Condition::Wait(unsigned short /*keepLocked*/, unsigned long /*timeout*/) {
  while (logic->SafeTest(&value) != 0) {
  }
  return value;
}

int Condition::Unlock() {
  return value;
}

int Condition::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return 0;
  std::snprintf(buffer, static_cast<size_t>(capacity), "cond-val: %d", value);
  return 0;
}

int Condition::Lock() {
  return value;
}

Condition* Condition::MakeCondition(const char* conditionName) {
  return re5zor4::seam::New<WIN32Condition>(conditionName);
}

// ---------------------------------------------------------------------------
// WIN32Condition

WIN32Condition::WIN32Condition(const char* conditionName)
    : Condition(re5zor4::chain::DeferLink(conditionName)), guardMutex(nullptr), wakeEvent(nullptr) {
  guardMutex = port::CreateGuard();
  wakeEvent = port::CreateEvent(guardMutex);
  re5zor4::chain::Register(this);
}

WIN32Condition::~WIN32Condition() {
  re5zor4::chain::Unregister(this);
  // The event belongs to the guard, so it goes first.
  if (wakeEvent != nullptr) port::CloseHandle(wakeEvent);
  if (guardMutex != nullptr) port::CloseHandle(guardMutex);
  wakeEvent = nullptr;
  guardMutex = nullptr;
}

// Reports every outcome but success; true when the caller owns the guard.
bool WIN32Condition::EnterGuard() {
  const port::WaitResult r = port::WaitGuard(guardMutex);
  switch (r) {
    case port::kWaitObject0:
      return true;
    case port::kWaitAbandoned:
      re5zor4::ReportLine("WaitForSingleObject abandoned");
      return true;
    case port::kWaitFailed:
      re5zor4::ReportFailure("WaitForSingleObject failed with ", port::LastError());
      return false;
    case port::kWaitTimeout:
      re5zor4::ReportLine("WaitForSingleObject timed out");
      return false;
    default:
      re5zor4::ReportLine("WaitForSingleObject unknown error");
      return false;
  }
}

void WIN32Condition::LeaveGuard() {
  if (!port::ReleaseGuard(guardMutex)) {
    re5zor4::ReportFailure("ReleaseMutex failed with ", port::LastError());
  }
}

void WIN32Condition::SignalEvent() {
  if (!port::SetEvent(wakeEvent)) {
    re5zor4::ReportFailure("SetEvent failed with ", port::LastError());
  }
}

int WIN32Condition::Set() {
  const bool held = EnterGuard();  // VALUE_UNDER_GUARD
  logic->SafeSet(&value);
  const int result = value;
  // NO_LOST_WAKEUP: signal before the guard is left. One signal per Set;
  // further waiters get it through WAKEUP_PASSED_ON.
  SignalEvent();
  if (held) LeaveGuard();
  return result;
}

int WIN32Condition::Clear() {
  const bool held = EnterGuard();  // VALUE_UNDER_GUARD
  int result = -1;
  if (value >= 0) {
    logic->SafeClear(&value);
    result = value;
  }
  if (held) LeaveGuard();
  return result;
}

// A wait that fails outright leaves the thread without the guard; it is
// reported and retried after a millisecond, so a condition whose platform
// objects could not be made repeats its report instead of spinning hot.
int WIN32Condition::Wait(unsigned short keepLocked, unsigned long /*timeout*/) {
  bool held = EnterGuard();  // VALUE_UNDER_GUARD for every test below
  bool slept = false;
  while (logic->SafeTest(&value) != 0) {
    // NO_LOST_WAKEUP: the guard is left and the sleep begins in one joint
    // wait, which on success gives WOKEN_HOLDS_GUARD.
    if (held) LeaveGuard();
    slept = true;
    const uint32_t r = port::WaitGuardAndEvent(guardMutex, wakeEvent);
    switch (r) {
      case port::kWaitObject0:
      case port::kWaitObject0 + 1:
        held = true;
        break;
      case port::kWaitAbandoned:
        re5zor4::ReportLine("WaitForMultipleObjects abandoned");
        held = true;
        break;
      case port::kWaitFailed:
        re5zor4::ReportFailure("WaitForMultipleObjects failed with ", port::LastError());
        held = false;
        break;
      case port::kWaitTimeout:
        re5zor4::ReportLine("WaitForMultipleObjects timed out");
        held = false;
        break;
      default:
        re5zor4::ReportLine("WaitForMultipleObjects unknown error");
        held = false;
        break;
    }
    if (!held) port::Sleep(1);
  }
  // WAKEUP_PASSED_ON: a waiter that slept and is ready signals once more, for
  // the next sleeper; one that is not ready never gets here.
  if (slept && held) SignalEvent();
  // VALUE_UNDER_GUARD: read before the guard is left.
  const int result = value;
  if (keepLocked == 0 && held) LeaveGuard();
  return result;
}

int WIN32Condition::Unlock() {
  const int result = value;
  LeaveGuard();
  return result;
}

int WIN32Condition::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return 0;
  const bool held = EnterGuard();  // VALUE_UNDER_GUARD
  const int current = value;
  if (held) LeaveGuard();
  std::snprintf(buffer, static_cast<size_t>(capacity), "cond-val: %d", current);
  return 0;
}

int WIN32Condition::Lock() {
  EnterGuard();
  return value;
}

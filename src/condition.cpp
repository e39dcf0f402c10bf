// Conditions and their logic classes.
//
// The guard-and-signal wait. A waiter must never miss a Set made between its
// test of the value and the start of its sleep, and must hold the guard when
// it tests again. Win32 gives this with an auto-reset event waited on together
// with the guard mutex (WaitForMultipleObjects, wait all): a Set made while
// nobody sleeps leaves the event signalled, and the next sleeper consumes it
// at once and tests again. The platform layer reproduces exactly that joint
// wait, so this file is written once for every platform. Rejected: a plain
// condition variable over the guard, which cannot express the recursive,
// abandonable guard the owners of a condition rely on.
//
// Not guaranteed: which waiter a Set wakes; that a Set which makes the value
// ready for several waiters wakes more than one of them (resource watchers
// take care of that themselves).
#include "re5zor4/condition.h"

#include <cstdio>
#include <new>

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
  return new (std::nothrow) WIN32Condition(conditionName);
}

// ---------------------------------------------------------------------------
// WIN32Condition

WIN32Condition::WIN32Condition(const char* conditionName)
    : Condition(conditionName), guardMutex(nullptr), wakeEvent(nullptr) {
  guardMutex = port::CreateGuard();
  wakeEvent = port::CreateEvent(guardMutex);
}

WIN32Condition::~WIN32Condition() {
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
  const bool held = EnterGuard();
  logic->SafeSet(&value);
  const int result = value;
  SignalEvent();
  if (held) LeaveGuard();
  return result;
}

int WIN32Condition::Clear() {
  const bool held = EnterGuard();
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
  bool held = EnterGuard();
  bool slept = false;
  while (logic->SafeTest(&value) != 0) {
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
  // A waiter that slept passes the wake-up on before it leaves: two Sets in
  // quick succession set the auto-reset signal only once, and a value that is
  // ready for this waiter may be ready for the next one too, which would
  // otherwise sleep on. A passed-on signal that finds nobody costs the next
  // waiter one extra test.
  if (slept && held) SignalEvent();
  // The value is read while still guarded: once the guard is left, another
  // thread may change it.
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
  const bool held = EnterGuard();
  const int current = value;
  if (held) LeaveGuard();
  std::snprintf(buffer, static_cast<size_t>(capacity), "cond-val: %d", current);
  return 0;
}

int WIN32Condition::Lock() {
  EnterGuard();
  return value;
}

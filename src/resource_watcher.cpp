// Resource watchers over one condition each.
//
// Every test and change of the count happens under the condition's guard:
// the checks that keep the count within 0 to 0x7FFFFFFF take the guard with
// Lock and call Set or Clear while still holding it (the guard is recursive).
//
// Waking at zero is the condition's doing, not the watcher's. The decrement
// that reaches zero makes one Set, which signals once and wakes one waiter;
// by the condition's WAKEUP_PASSED_ON (condition.cpp) each waiter that wakes
// to a zero count signals again before it returns, so the wake-up goes from
// waiter to waiter while the count stays zero. A waiter that wakes to a count
// an increment has raised again sleeps on and passes nothing on; the
// remaining waiters wait for the next zero. The watcher therefore makes
// exactly one Set per decrement and keeps no count of its waiters.
#include "re5zor4/resource_watcher.h"

#include "re5zor4/condition.h"
#include "ru5red4/znassert.h"

namespace {

constexpr const char kSource[] = "src\\resource_watcher";
constexpr const char kName[] = "ResourceWatcher";
constexpr unsigned kLockBit = 0x80000000u;
constexpr unsigned kCountMask = 0x7FFFFFFFu;
constexpr unsigned long kInfinite = 0xFFFFFFFFul;

unsigned Bits(int value) {
  return static_cast<unsigned>(value);
}
int Word(unsigned bits) {
  return static_cast<int>(bits);
}

Condition* MakeWatcherCondition(ConditionLogic* logic) {
  Condition* c = Condition::MakeCondition(kName);
  if (c != nullptr) c->logic = logic;
  return c;
}

void DeleteCondition(Condition*& c) {
  if (c != nullptr) {
    delete c;
    c = nullptr;
  }
}

// The count part of a watcher's value.
unsigned PlainCount(int value) {
  return value < 0 ? 0u : Bits(value);
}
unsigned LockableCount(int value) {
  return Bits(value) & kCountMask;
}

// Increment with the count's upper bound checked under the guard: a count at
// its maximum would overflow (plain) or carry into the lock bit (lockable).
int GuardedIncrement(Condition* c, unsigned (*count)(int)) {
  if (c == nullptr) return -1;
  const int value = c->Lock();
  const int result = count(value) == kCountMask ? -1 : c->Clear();
  c->Unlock();
  return result;
}

// Decrement with the lower bound checked under the guard: a decrement with
// nothing counted is reported and refused, so the count stays usable.
int GuardedDecrement(Condition* c, unsigned (*count)(int)) {
  if (c == nullptr) return -1;
  const int value = c->Lock();
  if (count(value) == 0u) {
    c->Unlock();
    ZARN_assert("count > 0", kSource, __LINE__);
    return -1;
  }
  // One signal, whoever waits; WAKEUP_PASSED_ON carries it on at zero.
  const int result = c->Set();
  c->Unlock();
  return result;
}

}  // namespace

// ---------------------------------------------------------------------------

ZnResourceWatcher::ZnResourceWatcher()
    : condition(MakeWatcherCondition(__ResourceLogic::Instance())) {}

ZnResourceWatcher::~ZnResourceWatcher() {
  DeleteCondition(condition);
}

int ZnResourceWatcher::IncrementCounter() {
  return GuardedIncrement(condition, &PlainCount);
}

int ZnResourceWatcher::DecrementCounter() {
  return GuardedDecrement(condition, &PlainCount);
}

int ZnResourceWatcher::WaitForZero(unsigned long /*timeout*/) {
  if (condition == nullptr) return -1;
  // Woken by a decrement, or by a waiter before us passing the wake-up on
  // (WAKEUP_PASSED_ON); we pass it on in turn if we return.
  return condition->Wait(0, kInfinite);
}

// ---------------------------------------------------------------------------

ZnLockableResourceWatcher::ZnLockableResourceWatcher()
    : condition(MakeWatcherCondition(__LockableResourceLogic::Instance())) {}

ZnLockableResourceWatcher::~ZnLockableResourceWatcher() {
  DeleteCondition(condition);
}

int ZnLockableResourceWatcher::IncrementCounter() {
  return GuardedIncrement(condition, &LockableCount);
}

int ZnLockableResourceWatcher::DecrementCounter() {
  return GuardedDecrement(condition, &LockableCount);
}

int ZnLockableResourceWatcher::WaitForZero(unsigned long /*timeout*/) {
  if (condition == nullptr) return -1;
  condition->Lock();
  condition->value = Word(Bits(condition->value) | kLockBit);
  // Wait REQUIRES the guard not held. From here increments are refused, so
  // until a Reset the count only falls and WAKEUP_PASSED_ON releases every
  // waiter at zero.
  condition->Unlock();
  return condition->Wait(0, kInfinite);
}

int ZnLockableResourceWatcher::Reset() {
  if (condition == nullptr) return -1;
  condition->Lock();
  condition->value = Word(Bits(condition->value) & kCountMask);
  condition->Unlock();
  return 0;
}

// Resource watchers: counters of things in use that any thread counts up and
// down and that other threads wait on until they fall to zero.
//
// ZnResourceWatcher is a plain count. ZnLockableResourceWatcher adds a gate:
// from the moment a thread starts waiting for zero it refuses increments, so
// the users drain and no new one gets in; Reset opens it again. Both are thin
// wrappers around one condition ("ResourceWatcher") whose logic object holds
// the arithmetic; all guarding, waiting and wake-up is the condition's.
//
// Results:
//   IncrementCounter  the new count; -1 when refused (gate closed, negative
//                     value, or the count at its maximum), nothing changed
//   DecrementCounter  the new value (for the lockable watcher the whole word,
//                     negative while closed); -1 when the count is already 0:
//                     the unmatched decrement is reported through ZARN_assert
//                     and changes nothing, so the count can still reach zero
//   WaitForZero       0, or -2147483648 (closed, count 0) for the lockable one
//
// Waking at zero: each DecrementCounter signals the condition once, which
// wakes one thread in WaitForZero. A waiter that wakes and finds the count at
// zero passes the wake-up on to the next waiter before it returns; one that
// finds the count above zero sleeps again and passes nothing on (the
// condition does this: WAKEUP_PASSED_ON in condition.cpp). So every thread
// waiting when the count reaches zero returns, provided the count is still
// zero when its turn comes; a waiter that looks only after an increment has
// raised the count again waits for the next zero. A closed lockable watcher
// refuses increments, so there every waiter returns unless a Reset reopens
// the watcher first.
//
// Ownership: a watcher owns its condition. Thread safety: any thread may call
// any operation; every wait is unbounded (time-outs are not consulted).
#ifndef RE5ZOR4_RESOURCE_WATCHER_H_
#define RE5ZOR4_RESOURCE_WATCHER_H_

#include "re5zor4/export.h"

class Condition;

class RE5ZOR4_API ZnResourceWatcher {
 public:
  ZnResourceWatcher();
  ~ZnResourceWatcher();

  int IncrementCounter();
  int DecrementCounter();
  // Returns once the count is 0, with 0.
  int WaitForZero(unsigned long timeout);

  Condition* condition;  // owned; null only when memory ran out

  ZnResourceWatcher(const ZnResourceWatcher&) = delete;
  ZnResourceWatcher& operator=(const ZnResourceWatcher&) = delete;
};

class RE5ZOR4_API ZnLockableResourceWatcher {
 public:
  ZnLockableResourceWatcher();
  ~ZnLockableResourceWatcher();

  int IncrementCounter();
  int DecrementCounter();
  // Closes the gate, then returns once the count is 0, with -2147483648. The
  // gate stays closed.
  int WaitForZero(unsigned long timeout);
  // Opens the gate; the count is untouched. Returns 0.
  int Reset();

  Condition* condition;  // owned; value: count in bits 0-30, lock bit 31

  ZnLockableResourceWatcher(const ZnLockableResourceWatcher&) = delete;
  ZnLockableResourceWatcher& operator=(const ZnLockableResourceWatcher&) = delete;
};

#endif  // RE5ZOR4_RESOURCE_WATCHER_H_

// Conditions: a guarded signed value that threads change and wait on, with
// the waiting rule delegated to a stateless ConditionLogic.
//
// A ConditionLogic decides what Set and Clear do to the value and whether a
// waiter must keep waiting. One shared instance of each logic class exists;
// conditions point at it and never own it. WIN32Condition, the working class
// made by Condition::MakeCondition, makes every change and test of the value
// under a recursive guard, and a waiter wakes holding that guard.
//
// Wake-ups: one Set wakes one sleeping waiter (or, when none sleeps, makes
// the next waiter test once more). A waiter that slept and finds the value
// ready passes the wake-up on to the next sleeper before it returns; one that
// finds it not ready sleeps again and passes nothing on. So a Set that makes
// the value ready for several waiters lets each of them return, provided the
// value is still ready when its turn comes; a waiter that looks only after
// the value has moved back waits for the next Set. Clear never wakes anybody.
// (WAKEUP_PASSED_ON in condition.cpp.)
//
// Ownership: MakeCondition's caller owns the condition. Thread safety: any
// thread may call any operation of a WIN32Condition; the base Condition is
// unguarded and safe only when the caller serialises it. Every wait is
// unbounded: time-out arguments are accepted and not consulted.
//
// OS failures are not returned: each is one line on the debugger stream when
// its level has the condition error bit, 0x10000.
#ifndef RE5ZOR4_CONDITION_H_
#define RE5ZOR4_CONDITION_H_

#include "re5zor4/critsect.h"
#include "re5zor4/export.h"

// Counted event: Set counts up, Clear down, waiters wait while the value is 0.
class RE5ZOR4_API ConditionLogic {
 public:
  virtual void SafeSet(int* value);
  virtual void SafeClear(int* value);
  // Non-zero: the waiter is not ready and keeps waiting.
  virtual int SafeTest(int* value);

  static ConditionLogic* Instance();
};

// Reader count: Set counts down, Clear up, waiters wait until it is 0.
class RE5ZOR4_API ReaderCounter : public ConditionLogic {
 public:
  void SafeSet(int* value) override;
  void SafeClear(int* value) override;
  int SafeTest(int* value) override;

  static ReaderCounter* Instance();
};

// Resource count: Set counts down, Clear up, waiters wait until it is 0.
class RE5ZOR4_API __ResourceLogic : public ConditionLogic {
 public:
  void SafeSet(int* value) override;
  void SafeClear(int* value) override;
  int SafeTest(int* value) override;

  static __ResourceLogic* Instance();
};

// As __ResourceLogic on bits 0 to 30; bit 31 (the lock bit) is carried over.
class RE5ZOR4_API __LockableResourceLogic : public ConditionLogic {
 public:
  void SafeSet(int* value) override;
  void SafeClear(int* value) override;
  int SafeTest(int* value) override;

  static __LockableResourceLogic* Instance();
};

// Slot order: destructor, ForceRelease, Set, Clear, Wait, Unlock, GetInfo,
// Lock. In this base class there is no guard and Wait spins.
class RE5ZOR4_API Condition : public ZnSynchroObj {
 public:
  explicit Condition(const char* name);
  ~Condition() override;

  // SafeSet, then wake one sleeping waiter (see Wake-ups above). Returns the
  // new value.
  virtual int Set();
  // Refused with -1 (no change) while the value is negative; otherwise
  // SafeClear and the new value. Never wakes anybody.
  virtual int Clear();
  // Returns once SafeTest gives 0, with the value then seen; never changes
  // the value. With keepLocked non-zero the caller returns holding the guard
  // and must Unlock once.
  // REQUIRES: the calling thread does not hold the guard (no Lock, and no
  // keepLocked Wait, of its own still outstanding). A Wait that finds the
  // value ready at once returns even then, but one that sleeps holding the
  // guard keeps every Set out and never returns.
  virtual int Wait(unsigned short keepLocked, unsigned long timeout);
  // Leaves the guard once; returns the value seen before leaving.
  virtual int Unlock();
  // "cond-val: <value>" into buffer, NUL-terminated, never more than
  // capacity bytes; nothing for a null buffer. Returns 0.
  virtual int GetInfo(char* buffer, int capacity);
  // Enters the guard (recursively); returns the value.
  virtual int Lock();

  // A new WIN32Condition, or null when memory runs out.
  static Condition* MakeCondition(const char* name);

  ConditionLogic* logic;  // not owned; replace right after making
  int value;              // guarded by the condition's guard
};

class RE5ZOR4_API WIN32Condition : public Condition {
 public:
  explicit WIN32Condition(const char* name);
  ~WIN32Condition() override;

  int Set() override;
  int Clear() override;
  int Wait(unsigned short keepLocked, unsigned long timeout) override;
  int Unlock() override;
  int GetInfo(char* buffer, int capacity) override;
  int Lock() override;

  void* guardMutex;  // the recursive, abandonable guard of value
  void* wakeEvent;   // the auto-reset wake-up signal

 private:
  bool EnterGuard();
  void LeaveGuard();
  void SignalEvent();
};

#endif  // RE5ZOR4_CONDITION_H_

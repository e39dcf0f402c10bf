// Critical sections and the synchronisation chain.
//
// ZnSynchroObj is the base of every synchronisation object of the library.
// While the module is started, each one links itself into one process-wide
// chain, so that ReleaseAllSynchronizationObjects can make the calling thread
// release everything it holds. ZnCritSect is the recursive critical-section
// interface; its factories return a plain Win32CritSect, or, while the
// deadlock-detection flag is set, a deadlock-detecting section wrapping one.
//
// Ownership: the caller of a factory owns the section and deletes it through
// the virtual destructor. Names are stored as pointers, never copied: the
// creator keeps the text alive for the object's life.
//
// Thread safety: every operation may be called from any thread. Exit only by
// the holder; a section is destroyed only when free and unwaited.
//
// Lock order: the chain lock before the CritSectCritSect.
#ifndef RE5ZOR4_CRITSECT_H_
#define RE5ZOR4_CRITSECT_H_

#include <atomic>
#include <cstdint>

#include "re5zor4/export.h"

class RE5ZOR4_API ZnSynchroObj {
 public:
  // Links the object at the head of the chain when registration is on.
  explicit ZnSynchroObj(const char* name);
  // Unlinks the object when registration is on.
  virtual ~ZnSynchroObj();
  // Releases whatever the calling thread holds of this object. Nothing here.
  virtual void ForceRelease();

  const char* name;    // not owned, not copied
  ZnSynchroObj* next;  // older neighbour in the chain; guarded by the chain lock
  ZnSynchroObj* prev;  // newer neighbour in the chain; guarded by the chain lock

  ZnSynchroObj(const ZnSynchroObj&) = delete;
  ZnSynchroObj& operator=(const ZnSynchroObj&) = delete;
};

// The recursive critical-section interface. Slot order: destructor,
// ForceRelease, Begin, Exit, GetInfo, TryBegin, HoldCount, DetectsDeadlocks.
//
//   state            Begin by holder   Begin by other    Exit by holder
//   free             -                 held, n = 1       (misuse)
//   held, n          n + 1             waits until free  n - 1; free at 0
//
// ForceRelease by the holder frees the section at once, whatever n is; by
// anyone else it changes nothing. An Exit by a thread that does not hold the
// section is refused: reported through ZARN_assert, nothing changes. A
// section whose holder ended stays held for good: no later thread enters it.
class RE5ZOR4_API ZnCritSect : public ZnSynchroObj {
 public:
  explicit ZnCritSect(const char* name);
  ~ZnCritSect() override;

  void ForceRelease() override;
  virtual void Begin();
  virtual void Exit();
  // Writes one NUL-terminated status line, never more than capacity bytes;
  // nothing for a null buffer or a capacity below 1. Here:
  // "<name>: owning count: <n>; wait count: <n>".
  virtual void GetInfo(char* buffer, int capacity);
  // Enters and returns non-zero when the section is free or held by the
  // caller; returns 0 at once otherwise. Never waits. Here: 1.
  virtual int TryBegin();
  // How many times the calling thread has entered the section and not yet
  // left it: 0 when it does not hold it. Any thread may ask; asking changes
  // nothing (no per-thread record is made for the caller). Here: 0.
  virtual int HoldCount();
  // Non-zero for a deadlock-detecting section. Here: 0.
  virtual int DetectsDeadlocks();
  // HoldCount() != 0.
  int HeldByCaller() { return HoldCount() != 0 ? 1 : 0; }

  // A new section of the kind the deadlock-detection flag selects now: the
  // flag is read at this call and at no other time. A section keeps its kind
  // for its whole life, so a flag written after a library has made its
  // sections leaves them plain. A detecting section made before module
  // start-up works, but keeps no books until start-up: it says so once on
  // the debugger channel.
  static ZnCritSect* Make(const char* name);

  // Exactly what Make returns.
  static ZnCritSect* MakeLight(const char* name);
  // A new plain Win32CritSect, whatever the flag.
  static ZnCritSect* MakeImplementation(const char* name);

  // Kept only by deadlock-detecting sections; 0 in every other section.
  std::atomic<int32_t> owningCount;  // written by the holder only
  std::atomic<int32_t> waitCount;    // threads inside Begin, waiting
};

// The plain recursive section: one lock operation per Begin and Exit, no
// bookkeeping, no per-thread record.
class RE5ZOR4_API Win32CritSect : public ZnCritSect {
 public:
  explicit Win32CritSect(const char* name);
  ~Win32CritSect() override;

  // Leaves the section completely when the calling thread holds it.
  void ForceRelease() override;
  void Begin() override;
  void Exit() override;
  int TryBegin() override;
  int HoldCount() override;

  // Contention figures, written on the contended path of Begin only: the
  // entries that had to wait, their total wait and the longest, in
  // nanoseconds. Read them with ZnGetContentionStats (re5zor4/status.h).
  std::atomic<uint64_t> contention[3];

 private:
  // The platform's recursive lock, kept in place.
  alignas(16) unsigned char lock_[48];
};

extern "C" {

// Calls ForceRelease on every object in the chain, newest first, holding the
// chain lock. Visits nothing before start-up or after shut-down.
RE5ZOR4_API void ReleaseAllSynchronizationObjects();
// The address of the CritSectCritSect slot, the same for the process's life.
RE5ZOR4_API ZnCritSect** ZnGetCritSectCritSect();
// The address of the deadlock-detection flag, the same for the process's life.
// It is read by ZnCritSect::Make and MakeLight only, once per section made:
// write it before making the sections that are to detect deadlocks (for a
// C library that makes its locks at initialisation, before initialising it);
// prefer ZnSetDeadLockDetection when other threads may be making sections.
RE5ZOR4_API int* ZnGetDeadLockDetectionEnabled();
}

// Sets the deadlock-detection flag atomically; returns the previous value.
RE5ZOR4_API int ZnSetDeadLockDetection(int enabled);
// A plain section named "DeadLockDetectionCS".
RE5ZOR4_API ZnCritSect* ZnMakeCritSectCritSect();

#endif  // RE5ZOR4_CRITSECT_H_

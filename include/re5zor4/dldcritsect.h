// The deadlock-detecting critical section.
//
// ZnDLDCritSect wraps a plain section (its implementation, owned) and keeps
// book of who holds it and who waits for it. When a thread is about to start
// waiting for a section whose wait chain leads back to that very thread, the
// wait would close a cycle: the section writes the deadlock report (to the
// console and appended to "deadlock.txt"), sends its status line to the
// debugger channel and asks the user, with the prompt "Deadlock detected\n
// (CANCEL to debug)" under the caption "ZARN Critical Section", whether to
// break into the debugger. Then it waits all the same: detection never changes
// the outcome of Begin. Should the wait complete after all, the user is told
// "Deadlock falsely detected".
//
// ZnCritSect::Make returns one of these while the deadlock-detection flag is
// set. All bookkeeping of all such sections of the process is serialised on
// one lock, the CritSectCritSect.
//
// States (owner is set, and waitingFor changed, only under the
// CritSectCritSect; see "Releasing" below for the one store made without it):
//
//   state              owner  owningCount  entered by              left by
//   free               null   0            construction; final     Begin of any thread
//                                          Exit; ForceRelease by
//                                          the holder
//   held by thread R   R      n >= 1       Begin (n = 1); Begin    final Exit (n -> 0);
//                                          by R again (n + 1)      ForceRelease by R
//
// A waiting thread W is, in order: counted in waitCount and recorded in
// W->waitingFor (both under the CritSectCritSect, just before it blocks),
// blocked on the implementation (without the CritSectCritSect), then, having
// the implementation, made the owner while waitingFor and waitCount are undone
// under the CritSectCritSect. waitCount therefore changes only under that lock
// and counts exactly the threads recorded as waiting for the section.
//
// The wait-chain walk, run by Begin under the CritSectCritSect for a thread R
// that wants section S:
//
//   T := S.owner
//   while T != null and T.waitingFor != null:
//     T := T.waitingFor.owner
//     if T == R: deadlock (report, status line, prompt)
//
// The sequence of records visited is a function of the record alone, so once
// it repeats a record it cycles for ever. A chain may close on itself without
// passing through R: a thread that reported a deadlock and was told to go on
// records its wait all the same, and every later walk that enters that cycle
// would never end. The walk therefore runs Brent's cycle finding alongside:
// it keeps one checkpoint record and moves it forward at step counts that
// double (1, 2, 4, ...); meeting the checkpoint again proves a cycle. Since R
// is tested at every step, and a repetition can only be seen after every
// record of the cycle and of the path into it has been visited once, meeting
// the checkpoint means R is not on the chain: the walk ends without a report.
// It costs no memory and at most about three times the length of the chain.
//
// Fast path. Under the CritSectCritSect, the implementation can be held only
// by the owner, by a thread recorded as waiting (which takes it between
// recording its wait and becoming the owner), or, for a moment, by a holder in
// its final Exit that has already cleared owner. So Begin of a section with no
// owner and no waiter enters the implementation under the CritSectCritSect
// and becomes the owner in one hold of it: the wait, if any, is for a release
// already under way, which needs no lock.
//
// Releasing. The final Exit clears owner and then leaves the implementation,
// without the CritSectCritSect. A null store can only cut a wait chain, never
// make one; and a thread recorded as waiting can't be running Exit, so the
// chain of a detected deadlock (all of whose threads wait) stays as it was
// while the report is written. Code that reads other threads' records
// through owner fields (the walk, the report, GetInfo) registers as a reader
// while it holds the CritSectCritSect; a final Exit that finds a reader
// registered takes the CritSectCritSect once before it returns, so a record
// never goes away under a reader when its thread ends right after leaving.
// ForceRelease works under the lock throughout.
//
// Ownership: the section owns its implementation and deletes it. The name is
// stored as a pointer and shared with the implementation.
//
// Thread safety: Begin, Exit and ForceRelease by any thread (Exit only by the
// holder); GetInfo by any thread, also by one that holds the CritSectCritSect
// (which is recursive).
//
// Lock order: the chain lock before the CritSectCritSect before an
// implementation; an implementation is entered under the CritSectCritSect only
// when nobody but a releasing holder has it, and left under it only by its
// holder (ForceRelease). The final Exit takes the CritSectCritSect only after
// it has left the implementation, and only while a reader is registered.
#ifndef RE5ZOR4_DLDCRITSECT_H_
#define RE5ZOR4_DLDCRITSECT_H_

#include <atomic>

#include "re5zor4/critsect.h"
#include "re5zor4/export.h"

class ZnTLS;

class RE5ZOR4_API ZnDLDCritSect : public ZnCritSect {
 public:
  // Takes ownership of implementation. The first construction in the process
  // reads "csSleepTime" (section "debug"); later ones don't.
  ZnDLDCritSect(const char* name, ZnCritSect* implementation);
  // Deletes the implementation. REQUIRES: the section is free and unwaited.
  ~ZnDLDCritSect() override;

  // Leaves the section completely when the calling thread holds it; no sleep.
  void ForceRelease() override;
  // Enters the section, recursively for the holder. A wait that would close a
  // cycle of waiting threads is reported before the thread waits.
  void Begin() override;
  // Leaves one level; the final one sleeps csSleepTime milliseconds (when
  // positive) before it releases.
  void Exit() override;
  // One of, cut to capacity (NUL included; nothing for a null buffer or a
  // capacity below 1):
  //   "<name>: owning thread: 0x<id>, owning count: <n>; wait count: <n>;
  //    owner waiting for <name of the section the holder waits for>"
  //   "<name>: owning thread: 0x<id>, owning count: <n>; wait count: <n>"
  //   "<name>: is available"
  void GetInfo(char* buffer, int capacity) override;

  ZnCritSect* const implementation;  // does the real locking; owned
  // The holder's record: set under the CritSectCritSect, cleared by the final
  // Exit without it (see "Releasing").
  std::atomic<ZnTLS*> owner;

 private:
  // True when the wait chain from this section reaches record. REQUIRES: the
  // CritSectCritSect is held.
  bool WaitWouldCloseCycle(const ZnTLS* record) const;
};

#endif  // RE5ZOR4_DLDCRITSECT_H_

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
// set (the flag is read when the section is made, never later). Without the
// module started there is no bookkeeping lock and no chain: such a section
// still excludes, but detects nothing. Made or used in that state, it says so
// on the debugger channel (the first such making and the first such use of
// the process, each with one line).
// A section found free is taken without any lock; the bookkeeping of threads
// that must wait (recording the wait, walking the chain, reporting) is
// serialised on one process-wide lock, the CritSectCritSect.
//
// States (the mechanism and its invariants are described in dldcritsect.cpp):
//
//   state              owner  owningCount  entered by              left by
//   free               null   0            construction; final     Begin, TryBegin of
//                                          Exit; ForceRelease by   any thread
//                                          the holder
//   held by thread R   R      n >= 1       Begin, TryBegin (n = 1  final Exit (n -> 0);
//                                          or n + 1 by R)          ForceRelease by R
//   held by ended R    R      n >= 1       R ends while holding    never
//
// A section held by a thread that has ended stays held; its status line still
// names that thread, and a Begin that would wait for it writes the deadlock
// report (the chain ends at the ended holder) before it waits. An Exit by a
// thread that does not hold the section is refused through ZARN_assert.
//
// Ownership: the section owns its implementation and deletes it. The name is
// stored as a pointer and shared with the implementation.
//
// Thread safety: Begin, Exit and ForceRelease by any thread (Exit only by the
// holder); GetInfo by any thread, also by one that holds the CritSectCritSect
// (which is recursive).
//
// Lock order: the chain lock before the CritSectCritSect before an
// implementation. No thread waits for an implementation while it holds the
// CritSectCritSect: under it an implementation is only tried.
#ifndef RE5ZOR4_DLDCRITSECT_H_
#define RE5ZOR4_DLDCRITSECT_H_

#include <atomic>

#include "re5zor4/critsect.h"
#include "re5zor4/export.h"

class ZnTLS;
namespace re5zor4 {
struct ThreadRecord;
}

class RE5ZOR4_API ZnDLDCritSect : public ZnCritSect {
 public:
  // Takes ownership of implementation and takes it out of the
  // synchronisation chain (the wrapper answers for both). The first
  // construction in the process reads "csSleepTime" (section "debug").
  ZnDLDCritSect(const char* name, ZnCritSect* implementation);
  // Deletes the implementation. REQUIRES: the section is unwaited, and free or
  // held by a thread that has ended.
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
  // Enters when the section is free and unwaited, or held by the caller;
  // returns 0 at once otherwise. Never walks, never reports.
  int TryBegin() override;
  // owningCount for the holder, 0 for everyone else; reads the caller's
  // record only when it has one.
  int HoldCount() override;
  // 1.
  int DetectsDeadlocks() override;

  ZnCritSect* const implementation;  // does the real locking; owned
  // The holder's record: set by the holder once it has the implementation,
  // cleared by the final Exit.
  std::atomic<ZnTLS*> owner;

 private:
  void TakeOwnership(re5zor4::ThreadRecord* self);
};

#endif  // RE5ZOR4_DLDCRITSECT_H_

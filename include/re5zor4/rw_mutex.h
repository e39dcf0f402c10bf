// The recursive reader/writer mutex.
//
// Many threads read at once, one thread writes. Both modes are recursive per
// thread, and the writer may take reader levels inside its write. A thread's
// depth in each mode lives in its own per-thread record (_ZnRW_Record,
// zntls.h), so the mutex keeps no table of holders: only the number of
// threads counted as readers, the depth of the one writer and diagnostic
// counts. ZnRW_Mutex is the interface with a do-nothing body; Make returns
// the working ZnGenRW_Mutex.
//
// Ownership: Make's caller owns the mutex and deletes it through the virtual
// destructor; the mutex owns its section "RW_Exclusive" and its condition
// "RW_Readers". Destroying a mutex that some thread still holds is the
// caller's error and is not detected.
//
// Thread safety: any thread may call any operation. Every StartRW must be
// matched by one EndRW of the same mode on the same thread. Waits are
// unbounded: the time-out argument is accepted and not consulted.
//
// Per-thread state of one thread on one mutex (R reader levels, W writer
// levels, both at most 0xFFFF; "counted" means the thread is included in the
// reader count):
//
//   state              call        effect                                        next
//   none               StartRW(0)  passes "RW_Exclusive", counts up              reader
//   (no record)        StartRW(1)  takes "RW_Exclusive", waits for count 0       writer
//                      EndRW(any)  refused (1)                                   none
//   reader             StartRW(0)  R+1, never blocks                             reader
//   (R>0, W=0,         StartRW(1)  propagation prompt (2), takes "RW_Exclusive"  writer
//   counted)           EndRW(0)    R-1; the last level counts down               reader/none
//                      EndRW(1)    refused (1)                                   reader
//   writer             StartRW(0)  R+1, never blocks, count unchanged            writer
//   (W>0, holds        StartRW(1)  W+1, never blocks                             writer
//   "RW_Exclusive")    EndRW(0)    R-1, never counts down; refused at R=0 (1)    writer
//                      EndRW(1)    W-1; at W=0 leaves "RW_Exclusive" (3)         reader/none
//
//   (1) reported through ZARN_assert, nothing changes, result -1. A 65536th
//       level of either mode is refused the same way.
//   (2) "IMPLICIT PROPAGATION READER->WRITER \n(CANCEL to Debug)": OK makes
//       the thread the writer without waiting for the other readers; Cancel
//       breaks into the debugger, then drains the other readers (see below).
//   (3) with R>0 left this is the implicit lowering, prompt
//       "IMPLICIT LOWERING WRITER->READER"; the thread stays a counted reader.
//       With R=0 left a counted thread counts down -> none.
//
// Writer drain and writer preference. A writer first takes "RW_Exclusive"
// and keeps it for its whole write; a thread that takes its first reader
// level passes through the same section and counts itself up while it holds
// it. So once a writer holds the section no new reader can register, and the
// writer waits until the threads already counted have released their last
// levels. A stream of new readers cannot starve it: they queue on the
// section behind it. Threads that already read keep nesting without
// blocking, which is what makes the drain finite (a counted reader never
// waits for the writer). Between threads queued on the section (would-be
// writers and first readers) there is no first-come order.
//
// The reader count. Counting every registration up and down under the
// condition's guard would cost several lock round trips per first reader
// level, so the count lives in one atomic word of the mutex (readerWord_:
// bits 0 to 30 the count, bit 31 set while a writer drains). Registering adds
// one (always inside "RW_Exclusive"), a thread's last release subtracts one.
// A draining writer, holding "RW_Exclusive" so that the count can only fall,
// sets bit 31 and moves the count into "RW_Readers" in one step under the
// condition's guard, then waits on the condition (logic ReaderCounter: until
// its value is 0). A leaving reader whose subtraction found bit 31 set was
// part of that count and counts the condition down once (Set), which wakes
// the writer to test again; one whose subtraction came first was not, and
// leaves the condition alone. So the condition stays the one waiting
// mechanism and its value is exact whenever a writer waits on it; GetInfo
// copies the live count into it (under its guard) before reading its line.
//
// The alternatives rejected: a per-mutex table of holders (needs a lock on
// every nested level, and the per-thread record already answers "what do I
// hold"); counting in the condition on every first level (measured about ten
// times the cost of a std::shared_mutex read lock); waking the writer on
// every last release (wakes nobody when nobody drains).
//
// Counting balance. Whether a thread is counted is kept in its own record
// (_ZnRW_Record::registered), set exactly when it counts up and cleared
// exactly when it counts down, so the count equals the number of counted
// threads in every order of releases:
//   - a thread that wrote first and took reader levels inside its write is
//     not counted; when its last writer level goes and reader levels remain
//     (implicit lowering) it counts up while it still holds "RW_Exclusive",
//     and counts down with its last reader level;
//   - a counted reader that propagated to writer stays counted through its
//     write (after OK) and counts down with its last level of either mode,
//     so ForceRelease (reader levels first, then writer levels) balances;
//   - after Cancel on the propagation prompt the thread counts itself down
//     while it holds "RW_Exclusive" and then drains the others: waiting for
//     its own registration would never end. It is then an uncounted writer
//     with reader levels, handled as in the first case.
//
// Not guaranteed: fairness between writers, or between a writer and first
// readers queued on the section; an upper bound on the drain while counted
// readers keep holding.
#ifndef RE5ZOR4_RW_MUTEX_H_
#define RE5ZOR4_RW_MUTEX_H_

#include <atomic>
#include <cstdint>

#include "re5zor4/critsect.h"
#include "re5zor4/export.h"

class Condition;

// Slot order: destructor, ForceRelease, StartRW, EndRW, GetInfo. This base
// holds nothing: StartRW and EndRW return 0, ForceRelease does nothing.
class RE5ZOR4_API ZnRW_Mutex : public ZnSynchroObj {
 public:
  // Named "RW_Mutex"; linked into the synchronisation chain while
  // registration is on.
  ZnRW_Mutex();
  ~ZnRW_Mutex() override;

  // Releases every level the calling thread holds on this mutex.
  void ForceRelease() override;
  // One more level for the calling thread: mode 0 reading, any other value
  // writing. timeout is not consulted. Returns 0, or -1 when refused.
  virtual int StartRW(int mode, unsigned long timeout);
  // Releases one level of mode. Returns 0, or -1 when refused.
  virtual int EndRW(int mode);
  // One NUL-terminated status line into buffer, never more than capacity
  // bytes; nothing for a null buffer. Here "Owner:??; Wx:??; Rx:??".
  virtual void GetInfo(char* buffer, int capacity);

  // A new ZnGenRW_Mutex, or null when memory runs out. A non-null error
  // receives 0 on success, -1 otherwise. A mutex whose section or condition
  // could not be made is still returned with -1: it is safe to use and
  // delete, and refuses every StartRW and EndRW with -1.
  static ZnRW_Mutex* Make(int* error);
};

class RE5ZOR4_API ZnGenRW_Mutex : public ZnRW_Mutex {
 public:
  ZnGenRW_Mutex();
  // Deletes the section, then the condition.
  ~ZnGenRW_Mutex() override;

  // Reader levels first, then writer levels, each through EndRW. A thread
  // that holds nothing is left without a record.
  void ForceRelease() override;
  int StartRW(int mode, unsigned long timeout) override;
  int EndRW(int mode) override;
  // "Owner:%ld; Wx:#%ld; Rx:%s; Cond:%s, wait_rd #%ld, wait_wr #%ld" with
  // ownerId, WriterLevel, the condition's line, the section's line and the
  // two waiting counts.
  void GetInfo(char* buffer, int capacity) override;

  // Made by the constructor and taken out of the synchronisation chain (the
  // mutex's own ForceRelease releases through them); owned; null only when
  // they could not be made, which leaves the mutex refusing every request.
  Condition* readers;     // "RW_Readers": the count a draining writer waits on
  ZnCritSect* exclusive;  // "RW_Exclusive": held by the writer for its write

  // Written only by the thread that holds "exclusive"; read by anyone for
  // the status line.
  std::atomic<long> WriterLevel;       // the writer's depth; 0 when nobody writes
  std::atomic<unsigned long> ownerId;  // the writer's threadId; 0 when nobody writes

  // Diagnostic: changed outside any lock, read only for the status line.
  std::atomic<long> waitingReaders;  // first readers queued on "exclusive"
  std::atomic<long> waitingWriters;  // writers not yet through their drain

  // The number of threads counted as readers now.
  int RegisteredReaders() const;

 private:
  // The operations behind StartRW and EndRW; defined with the mutex and kept
  // out of the exported interface.
  friend class ZnRWMutexCore;

  // Count of registered readers (bits 0 to 30) and the draining flag (bit
  // 31); see "The reader count" above. Added to only under "exclusive";
  // subtracted from by any thread's last release.
  std::atomic<uint32_t> readerWord_;
};

#endif  // RE5ZOR4_RW_MUTEX_H_

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
//       the thread the writer without waiting for the other readers (it stays
//       counted); Cancel breaks into the debugger, then counts the thread out
//       and waits for the other readers only.
//   (3) with R>0 left this is the implicit lowering, prompt
//       "IMPLICIT LOWERING WRITER->READER"; the thread goes on as a counted
//       reader (counted now if it was not). With R=0 left a counted thread
//       counts down -> none.
//
// Mutex-wide states, as the status line shows them (draining: a writer holds "RW_Exclusive" and
// waits for the counted threads; written: ownerId set, WriterLevel >= 1):
//
//   state      first StartRW(0)          StartRW(1) of a non-writer         ends when
//   free       counts up -> read         takes the section -> written       -
//   read       counts up                 takes the section and drains       the last counted thread
//                                        -> draining (a reader answering    releases -> free
//                                        OK: no drain -> written)
//   draining   queues on the section     queues on the section              the last counted thread
//                                                                           releases -> written
//   written    queues on the section     queues on the section              the last writer level
//                                                                           goes -> free, or read
//                                                                           if any are counted
//
// What callers may rely on:
//   - Writer preference: once a writer holds "RW_Exclusive" no thread can take
//     its first reader level, so a stream of new readers cannot starve it.
//   - A thread that holds any level takes further reader levels without
//     blocking, so counted readers never wait for a draining writer and the
//     drain ends once they have released.
//   - Between threads queued on the section (would-be writers and first
//     readers) the order is the section's: no first-come order.
//   - A thread is counted from its first reader level taken while it holds
//     nothing, or from an implicit lowering, until its last level of any
//     kind; after Cancel on the propagation prompt it stops being counted.
//     RegisteredReaders and the status line show that count in every order
//     of releases, ForceRelease included.
//   - Not guaranteed: fairness between writers; a bound on the drain while
//     counted readers keep holding; progress for a reader that asks to write
//     while another thread does: each may wait for the other, and deadlock
//     detection reports it (see StartRW's REQUIRES).
//   - With deadlock detection on (the flag set when the mutex is made), a
//     writer draining readers waits for every counted thread, and a thread
//     waiting for "RW_Exclusive" for its holder: a wait that closes a cycle
//     through these edges and those of deadlock-detecting sections is
//     reported as a section's is.
//
// Design of the drain and the reader count: rw_mutex.cpp.
#ifndef RE5ZOR4_RW_MUTEX_H_
#define RE5ZOR4_RW_MUTEX_H_

#include <atomic>
#include <cstdint>

#include "re5zor4/critsect.h"
#include "re5zor4/export.h"

class Condition;
namespace re5zor4 {
namespace rw_graph {
struct ReaderSet;
}
}  // namespace re5zor4

// Slot order: destructor, ForceRelease, StartRW, EndRW, GetInfo. This base
// holds nothing: StartRW and EndRW return 0, ForceRelease does nothing.
class RE5ZOR4_API ZnRW_Mutex : public ZnSynchroObj {
 public:
  // Named "RW_Mutex"; linked into the synchronisation chain while
  // registration is on.
  ZnRW_Mutex();
  ~ZnRW_Mutex() override;

 protected:
  // The same with another name (a derived mutex's own construction).
  explicit ZnRW_Mutex(const char* name);

 public:
  // Releases every level the calling thread holds on this mutex.
  void ForceRelease() override;
  // One more level for the calling thread: mode 0 reading, any other value
  // writing. timeout is not consulted. Returns 0, or -1 when refused.
  // REQUIRES: fewer than 0xFFFF levels of mode held (else reported, refused).
  // REQUIRES for StartRW(1) by a thread that reads (implicit propagation): no
  // other thread asks to write meanwhile. Otherwise that writer may take the
  // section first and drain, waiting for this thread's last release while
  // this thread waits for the section: neither returns (with deadlock
  // detection on and "rwDeadlocks=1" in section "debug" when the mutex was
  // made, the thread that closes the cycle reports it).
  virtual int StartRW(int mode, unsigned long timeout);
  // Releases one level of mode. Returns 0, or -1 when refused.
  // REQUIRES: the calling thread holds a level of mode (else reported,
  // refused).
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

  // Contention figures of the writers' drains (a writer that had to wait for
  // counted readers): how many, their total wait and the longest, in
  // nanoseconds. Queuing on "exclusive" is counted by the section. Read them
  // with ZnGetContentionStats (re5zor4/status.h).
  std::atomic<uint64_t> drainContention[3];

 private:
  // The operations behind StartRW and EndRW; defined with the mutex and kept
  // out of the exported interface.
  friend class ZnRWMutexCore;

  // The reader count (added_ less removed_) and the drain flag (in
  // removed_); layout and invariants in rw_mutex.cpp.
  std::atomic<uint64_t> added_;
  std::atomic<uint64_t> removed_;
  // With deadlock detection ("exclusive" detects): the threads counted as
  // readers, for the deadlock walk; null otherwise. Owned.
  re5zor4::rw_graph::ReaderSet* graph_;
};

#endif  // RE5ZOR4_RW_MUTEX_H_

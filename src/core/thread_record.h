// The thread record: everything the library keeps for one thread, in one
// block, and the one routine that ends it.
//
// A thread gets its block on first use (Current). The block holds the
// thread's ZnTLS (the public per-thread record), one spare reader/writer
// record kept for reuse, and the bookkeeping that lets a record outlive its
// thread while a deadlock-detecting section still names it as holder.
//
// Lifetime. heldSections counts the deadlock-detecting sections that name the
// record as holder, and the watched reader/writer mutexes that list the
// thread among their counted readers. The block is freed once it is released (the last
// ZnThreadDetach, or thread end) and no section names it, and only while the
// CritSectCritSect is held, so code that reads other threads' records under
// that lock (the wait-chain walk, the report, status lines) never reads a
// freed one. A section held by a thread that ended stays held; its record
// stays, marked released, and names the holder until the section goes.
//
// Thread end (OnThreadEnd), the only end-of-thread processing of the library,
// run by the platform on the ending thread, and the last ZnThreadDetach do
// the same, in this order:
//   1. the thread's condition and reader/writer records go (their clean-up
//      may still write diagnostics);
//   2. the pending diagnostic text is written and the line buffer freed;
//   3. the spare reader/writer record is freed;
//   4. the record is released: freed at once unless a section names it.
//
// Thread safety: a block's fields belong to its thread, except what ZnTLS
// documents (threadId, waitingFor) and the two atomics below.
#ifndef RE5ZOR4_SRC_CORE_THREAD_RECORD_H_
#define RE5ZOR4_SRC_CORE_THREAD_RECORD_H_

#include <atomic>

#include "port_inline.h"
#include "re5zor4/zntls.h"

namespace re5zor4 {

struct LineBuffer;

struct ThreadRecord {
  ZnTLS tls;                     // first: a ZnTLS* of a block converts back (FromTls)
  LineBuffer* buffer = nullptr;  // the diagnostic line buffer (line_buffer.h)
  _ZnRW_Record* spareRw = nullptr;
  // Written by the thread while it owns the record (one writer: no
  // read-modify-write); after release only under the CritSectCritSect.
  std::atomic<int> heldSections{0};
  // Set, under the CritSectCritSect, when the thread let go of the record.
  std::atomic<int> released{0};
  // The reader/writer mutexes the thread has a record of levels on, for the
  // status dump: written by the thread alone (MakeRw, DropRw), read by
  // anyone. A thread with more than kRwShown of them shows the first ones.
  static constexpr int kRwShown = 4;
  std::atomic<const ZnRW_Mutex*> rwShown[kRwShown] = {};
  // Links of the registry of live records; guarded by the registry lock.
  ThreadRecord* registryNext = nullptr;
  ThreadRecord* registryPrev = nullptr;
};

namespace thread_record {

// The calling thread's record, or null when it has none.
inline ThreadRecord* Find() {
  return static_cast<ThreadRecord*>(port::CurrentThreadBlock());
}

// The calling thread's record, made on first use; null only when memory runs
// out.
ThreadRecord* Create();
inline ThreadRecord* Current() {
  ThreadRecord* record = Find();
  return record != nullptr ? record : Create();
}

// REQUIRES: tls is the tls of a ThreadRecord (every record a thread gets
// from Current is).
inline ThreadRecord* FromTls(ZnTLS* tls) {
  return reinterpret_cast<ThreadRecord*>(tls);
}
inline const ThreadRecord* FromTls(const ZnTLS* tls) {
  return reinterpret_cast<const ThreadRecord*>(tls);
}

// The calling thread took, or gave back, a deadlock-detecting section.
// REQUIRES: record is the caller's own.
inline void NoteTaken(ThreadRecord* record) {
  record->heldSections.store(record->heldSections.load(std::memory_order_relaxed) + 1,
                             std::memory_order_relaxed);
}
inline void NoteGivenBack(ThreadRecord* record) {
  record->heldSections.store(record->heldSections.load(std::memory_order_relaxed) - 1,
                             std::memory_order_relaxed);
}
// A section that still names record as holder goes away (its holder ended, or
// the section is destroyed while held); frees a released record no section
// names any more.
void ForgetHolder(ThreadRecord* record);

// True when the record's thread is gone: it released its record, or the OS
// says the thread has ended (a terminated thread runs no clean-up).
bool HasEnded(const ZnTLS* tls);

// Lets go of the calling thread's record (steps 1 to 4 above): the thread
// may get a new one later.
void ReleaseCurrent();

// The calling thread's record for mutex, or null. Inline: every reader and
// writer level looks here first.
inline _ZnRW_Record* FindRw(ZnTLS* tls, const ZnRW_Mutex* mutex) {
  for (ZnSimpleLinkedListItem* item = tls->rwRecords.head; item != nullptr; item = item->next) {
    _ZnRW_Record* record = static_cast<_ZnRW_Record*>(item);
    if (record->mutex == mutex) return record;
  }
  return nullptr;
}
// A new record for mutex with state 0, first in the list of tls (the spare
// when there is one); null when memory runs out.
_ZnRW_Record* MakeRwSlow(ZnTLS* tls, const ZnRW_Mutex* mutex);
// The status dump's view of the thread's mutexes (rwShown).
inline void ShowRw(ThreadRecord* block, const ZnRW_Mutex* from, const ZnRW_Mutex* to) {
  for (std::atomic<const ZnRW_Mutex*>& shown : block->rwShown) {
    if (shown.load(std::memory_order_relaxed) == from) {
      shown.store(to, std::memory_order_relaxed);
      return;
    }
  }
}
// Inline for the spare record, which every first level of a thread that
// holds no other mutex takes.
inline _ZnRW_Record* MakeRw(ZnTLS* tls, const ZnRW_Mutex* mutex) {
  ThreadRecord* const block = FromTls(tls);
  _ZnRW_Record* const record = block->spareRw;
  if (record == nullptr) return MakeRwSlow(tls, mutex);
  block->spareRw = nullptr;
  record->mutex = mutex;
  record->state = 0;
  record->registered = 0;
  record->next = tls->rwRecords.head;
  tls->rwRecords.head = record;
  ShowRw(block, nullptr, mutex);
  return record;
}
// Unlinks record from the list of tls and frees it, or keeps it as the spare.
void DropRwSlow(ZnTLS* tls, _ZnRW_Record* record);
inline void DropRw(ZnTLS* tls, _ZnRW_Record* record) {
  ThreadRecord* const block = FromTls(tls);
  if (tls->rwRecords.head != record || block->spareRw != nullptr ||
      block->released.load(std::memory_order_relaxed) != 0) {
    DropRwSlow(tls, record);
    return;
  }
  tls->rwRecords.head = record->next;
  record->next = nullptr;
  ShowRw(block, record->mutex, nullptr);
  block->spareRw = record;
}

// The thread-end routine: ReleaseCurrent. Installed as the platform's hook.
void OnThreadEnd();

// Calls visit(record, context) for every record not yet freed, holding the
// registry lock, which only the making and freeing of a record take besides.
// Waits at most boundMs for that lock; false when it could not be had.
// Records are freed under the CritSectCritSect: a caller that holds it may
// read what a visited record names (waitingFor, rwShown).
bool VisitAll(void (*visit)(ThreadRecord* record, void* context), void* context, long boundMs);

}  // namespace thread_record
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_THREAD_RECORD_H_

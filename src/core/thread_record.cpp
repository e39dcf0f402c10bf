// The thread record and the thread-end routine.
#include "core/thread_record.h"

#include <mutex>
#include <new>

#include "core/chain.h"
#include "core/line_buffer.h"
#include "core/seam.h"
#include "re5zor4/condition.h"

namespace re5zor4 {
namespace thread_record {
namespace {

// The registry of live records. Its lock is in static storage, never
// destroyed (threads may end while the process exits), and is taken after
// the CritSectCritSect, never before it.
std::mutex& RegistryLock() {
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* mutex = new (storage) std::mutex;
  return *mutex;
}
ThreadRecord* g_registryHead = nullptr;  // guarded by RegistryLock()

void Enlist(ThreadRecord* record) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  record->registryNext = g_registryHead;
  record->registryPrev = nullptr;
  if (g_registryHead != nullptr) g_registryHead->registryPrev = record;
  g_registryHead = record;
}

void Delist(ThreadRecord* record) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  if (record->registryPrev != nullptr) {
    record->registryPrev->registryNext = record->registryNext;
  } else if (g_registryHead == record) {
    g_registryHead = record->registryNext;
  }
  if (record->registryNext != nullptr) record->registryNext->registryPrev = record->registryPrev;
  record->registryNext = record->registryPrev = nullptr;
}

// Frees what the thread kept in its record; the block itself stays while
// sections name it.
void EmptyRecord(ZnTLS& tls) {
  delete tls.cond;
  tls.cond = nullptr;
  // The list does not own its items; a record that goes away frees the
  // reader/writer records still listed rather than leaking them.
  while (tls.rwRecords.head != nullptr) {
    _ZnRW_Record* item = static_cast<_ZnRW_Record*>(tls.rwRecords.head);
    tls.rwRecords.RemoveItem(item);
    delete item;
  }
}

void Free(ThreadRecord* record) {
  Delist(record);
  if (record->tls.threadHandle != nullptr) port::CloseThreadHandle(record->tls.threadHandle);
  record->tls.threadHandle = nullptr;
  delete record;
}

// Steps 1 to 4 of the release (see the header). current: record is the
// calling thread's, whose slot is emptied once nothing more can be written
// into the record.
void Release(ThreadRecord* record, bool current) {
  EmptyRecord(record->tls);
  for (std::atomic<const ZnRW_Mutex*>& shown : record->rwShown) {
    shown.store(nullptr, std::memory_order_relaxed);
  }
  line_buffer::Release(record);
  if (current) port::SetCurrentThreadBlock(nullptr);
  delete record->spareRw;
  record->spareRw = nullptr;
  SectionHold hold(g_critSectCritSect);
  record->released.store(1, std::memory_order_relaxed);
  if (record->heldSections.load(std::memory_order_relaxed) == 0) Free(record);
}

// A terminated thread ran no clean-up; once it is gone, its record is
// released on the terminator's thread, as its own thread end would have.
void OnThreadTerminated(void* block) {
  Release(static_cast<ThreadRecord*>(block), false);
}

struct InstallThreadEnd {
  InstallThreadEnd() {
    port::SetThreadEndHook(&OnThreadEnd);
    port::SetThreadTerminatedHook(&OnThreadTerminated);
  }
} g_installThreadEnd;

}  // namespace

ThreadRecord* Create() {
  ThreadRecord* record = seam::New<ThreadRecord>();
  if (record == nullptr) return nullptr;
  record->tls.threadId = port::CurrentThreadId();
  record->tls.threadHandle = port::DuplicateCurrentThread();
  // The record is released at thread end even without a final detach, and
  // after the thread when it is terminated.
  port::ArmThreadEndHook();
  port::SetCurrentThreadBlock(record);
  Enlist(record);
  return record;
}

// FREED_UNDER_BOOKKEEPING: a block is freed only while the CritSectCritSect
// is held; readers of other threads' records hold it.
void ForgetHolder(ThreadRecord* record) {
  SectionHold hold(g_critSectCritSect);
  const int held = record->heldSections.load(std::memory_order_relaxed) - 1;
  record->heldSections.store(held, std::memory_order_relaxed);
  if (held == 0 && record->released.load(std::memory_order_relaxed) != 0) Free(record);
}

bool HasEnded(const ZnTLS* tls) {
  if (FromTls(tls)->released.load(std::memory_order_acquire) != 0) return true;
  // A terminated thread runs no clean-up: only the OS knows it is gone.
  return tls->threadHandle != nullptr && port::ThreadHasEnded(tls->threadHandle);
}

void ReleaseCurrent() {
  if (ThreadRecord* record = Find()) Release(record, true);
}

_ZnRW_Record* MakeRwSlow(ZnTLS* tls, const ZnRW_Mutex* mutex) {
  _ZnRW_Record* record = seam::New<_ZnRW_Record>(mutex);
  if (record == nullptr) return nullptr;
  record->next = tls->rwRecords.head;
  tls->rwRecords.head = record;
  ShowRw(FromTls(tls), nullptr, mutex);
  return record;
}

void DropRwSlow(ZnTLS* tls, _ZnRW_Record* record) {
  if (tls->rwRecords.head == record) {
    tls->rwRecords.head = record->next;
  } else {
    tls->rwRecords.RemoveItem(record);
  }
  record->next = nullptr;
  ThreadRecord* const block = FromTls(tls);
  ShowRw(block, record->mutex, nullptr);
  if (block->spareRw == nullptr && block->released.load(std::memory_order_relaxed) == 0) {
    block->spareRw = record;
    return;
  }
  delete record;
}

void OnThreadEnd() {
  ReleaseCurrent();
}

bool VisitAll(void (*visit)(ThreadRecord* record, void* context), void* context, long boundMs) {
  std::unique_lock<std::mutex> hold(RegistryLock(), std::try_to_lock);
  for (long waited = 0; !hold.owns_lock(); ++waited) {
    if (waited >= boundMs) return false;
    port::Sleep(1);
    hold.try_lock();
  }
  for (ThreadRecord* record = g_registryHead; record != nullptr; record = record->registryNext) {
    visit(record, context);
  }
  return true;
}

}  // namespace thread_record
}  // namespace re5zor4

// ---------------------------------------------------------------------------
// ZnTLS

ZnTLS::ZnTLS()
    : cond(nullptr),
      reserved1{0, 0, 0, 0},
      reserved2(0),
      attachCount(0),
      threadId(0),
      threadHandle(nullptr),
      waitingFor(nullptr),
      reserved3{0, 0, 0, 0} {}

ZnTLS::~ZnTLS() {
  re5zor4::thread_record::EmptyRecord(*this);
}

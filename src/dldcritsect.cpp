// The deadlock-detecting critical section.
#include "re5zor4/dldcritsect.h"

#include <cstdio>
#include <mutex>
#include <new>

#include "deadlock_report.h"
#include "internal.h"
#include "platform/port.h"
#include "re5zor4/schedule.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"

namespace {

const char kCaption[] = "ZARN Critical Section";
const char kDetected[] = "Deadlock detected\n(CANCEL to debug)";
const char kFalselyDetected[] = "Deadlock falsely detected";
constexpr unsigned kOkCancelForeground = 0x10001;
constexpr unsigned kOkForeground = 0x10000;
constexpr int kStatusLineSize = 1024;

// "csSleepTime" of section "debug", read by the first construction in the
// process. Zero or less means no delay.
std::once_flag g_sleep_time_once;
std::atomic<int> g_sleep_time{0};

void ReadSleepTimeOnce() {
  std::call_once(g_sleep_time_once, [] {
    int value = 0;
    ZnConfig* const config = re5zor4::Config();
    if (config != nullptr) config->GetLong("csSleepTime", &value, re5zor4::DebugSection());
    g_sleep_time.store(value, std::memory_order_relaxed);
  });
}

// Holds the CritSectCritSect for a scope. Without one (the module is not
// started) there is nothing to hold.
class BookkeepingLock {
 public:
  BookkeepingLock() : section_(re5zor4::CritSectCritSect()) {
    if (section_ != nullptr) section_->Begin();
  }
  ~BookkeepingLock() {
    if (section_ != nullptr) section_->Exit();
  }
  BookkeepingLock(const BookkeepingLock&) = delete;
  BookkeepingLock& operator=(const BookkeepingLock&) = delete;

 private:
  ZnCritSect* const section_;
};

// Threads that hold the CritSectCritSect and read other threads' records
// through owner fields. The final Exit clears owner without that lock; were
// its thread then to end, its record would go away under such a reader. So
// readers register here before their first owner load, and an Exit that finds
// any registered (after clearing owner) takes the lock once, which waits them
// out, before it returns. Sequential consistency of the registration, the
// owner loads, the clearing store and Exit's check makes sure that a reader
// either sees the owner gone or is seen by Exit.
std::atomic<int> g_record_readers{0};

class RecordReading {
 public:
  RecordReading() { g_record_readers.fetch_add(1, std::memory_order_seq_cst); }
  ~RecordReading() { g_record_readers.fetch_sub(1, std::memory_order_release); }
  RecordReading(const RecordReading&) = delete;
  RecordReading& operator=(const RecordReading&) = delete;
};

const char* NameOf(const ZnSynchroObj* object) {
  return object->name != nullptr ? object->name : "(null)";
}

// A counter with one writer at a time (owningCount: the holder; waitCount:
// whoever holds the bookkeeping lock) needs no read-modify-write. The words
// stay atomic for readers that take no lock.
void AddCount(std::atomic<int32_t>& count, int32_t delta) {
  count.store(count.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

}  // namespace

ZnDLDCritSect::ZnDLDCritSect(const char* name, ZnCritSect* implementation)
    : ZnCritSect(name), implementation(implementation), owner(nullptr) {
  ReadSleepTimeOnce();
}

ZnDLDCritSect::~ZnDLDCritSect() {
  delete implementation;
}

bool ZnDLDCritSect::WaitWouldCloseCycle(const ZnTLS* record) const {
  // Brent's cycle finding: see the header. checkpoint is a record already
  // visited; it moves to the current record after 1, 2, 4, ... steps.
  const ZnTLS* current = owner.load(std::memory_order_seq_cst);
  const ZnTLS* checkpoint = current;
  unsigned steps = 0;
  unsigned span = 1;
  while (current != nullptr && current->waitingFor != nullptr) {
    current = current->waitingFor->owner.load(std::memory_order_seq_cst);
    if (current == record) return true;
    if (current == checkpoint) return false;  // a cycle that R is not on
    if (++steps == span) {
      checkpoint = current;
      span *= 2;
      steps = 0;
    }
  }
  return false;
}

void ZnDLDCritSect::Begin() {
  ZnTLS* const self = re5zor4::CurrentThreadRecord();
  // Only this thread stores its own record here, so the test needs no lock.
  if (owner.load(std::memory_order_relaxed) == self) {
    AddCount(owningCount, 1);
    return;
  }

  bool detected = false;
  {
    BookkeepingLock lock;
    // With no owner and nobody recorded as waiting, the implementation is free
    // or about to be (a final Exit between its two stores), and nobody else
    // can take it while this lock is held: enter it here and become the owner
    // in one hold, without ever counting as a waiter.
    if (owner.load(std::memory_order_relaxed) == nullptr &&
        waitCount.load(std::memory_order_relaxed) == 0) {
      implementation->Begin();
      owner.store(self, std::memory_order_relaxed);
      AddCount(owningCount, 1);
      return;
    }
    // Counted from here until it owns the section; the status line of a
    // detected deadlock includes this thread.
    AddCount(waitCount, 1);
    {
      RecordReading reading;
      detected = WaitWouldCloseCycle(self);
      if (detected) re5zor4::WriteDeadlockReport(self, this, GetConsole());
    }
    if (detected) {
      char line[kStatusLineSize];
      GetInfo(line, sizeof line);
      re5zor4::port::OutputDebugString(line);
      if (re5zor4::port::MessageBox(kDetected, kCaption, kOkCancelForeground) ==
          re5zor4::port::kPromptCancel) {
        re5zor4::port::DebugBreak();
      }
    }
    self->waitingFor = this;
  }

  implementation->Begin();
  if (detected) re5zor4::port::MessageBox(kFalselyDetected, kCaption, kOkForeground);

  {
    BookkeepingLock lock;
    self->waitingFor = nullptr;
    owner.store(self, std::memory_order_relaxed);
    AddCount(waitCount, -1);
  }
  AddCount(owningCount, 1);
}

void ZnDLDCritSect::Exit() {
  const int32_t remaining = owningCount.load(std::memory_order_relaxed) - 1;
  owningCount.store(remaining, std::memory_order_relaxed);
  if (remaining != 0) return;

  const int delay = g_sleep_time.load(std::memory_order_relaxed);
  if (delay > 0) ZnThreadSwitchWithDelay(delay);

  // No bookkeeping lock: clearing the owner can only end a wait chain, never
  // make one, and a thread that sees the owner gone while the implementation
  // is still held (the fast path of Begin) waits only for the next line here.
  owner.store(nullptr, std::memory_order_seq_cst);
  implementation->Exit();
  if (g_record_readers.load(std::memory_order_seq_cst) != 0) {
    BookkeepingLock wait_for_readers;
  }
}

void ZnDLDCritSect::ForceRelease() {
  ZnTLS* const self = re5zor4::CurrentThreadRecord();
  if (owner.load(std::memory_order_relaxed) != self) return;
  owningCount.store(0, std::memory_order_relaxed);

  BookkeepingLock lock;
  owner.store(nullptr, std::memory_order_relaxed);
  implementation->ForceRelease();
}

void ZnDLDCritSect::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return;
  const size_t size = static_cast<size_t>(capacity);
  // The holder's record and the section it waits for are read under the
  // bookkeeping lock, and as a registered reader, so the record can't go away
  // meanwhile even if its thread is just leaving the section.
  BookkeepingLock lock;
  RecordReading reading;
  const ZnTLS* const holder = owner.load(std::memory_order_seq_cst);
  const long owning = owningCount.load(std::memory_order_relaxed);
  const long waiting = waitCount.load(std::memory_order_relaxed);
  if (holder != nullptr && holder->waitingFor != nullptr) {
    std::snprintf(
        buffer, size,
        "%s: owning thread: 0x%x, owning count: %ld; wait count: %ld; owner waiting for %s",
        NameOf(this), static_cast<unsigned>(holder->threadId), owning, waiting,
        NameOf(holder->waitingFor));
  } else if (holder != nullptr) {
    std::snprintf(buffer, size, "%s: owning thread: 0x%x, owning count: %ld; wait count: %ld",
                  NameOf(this), static_cast<unsigned>(holder->threadId), owning, waiting);
  } else {
    std::snprintf(buffer, size, "%s: is available", NameOf(this));
  }
}

namespace re5zor4 {

ZnCritSect* MakeDeadlockDetecting(const char* name, ZnCritSect* impl) {
  if (impl == nullptr) return nullptr;
  // Without memory for the wrapper, the plain section still locks.
  ZnCritSect* const section = new (std::nothrow) ZnDLDCritSect(name, impl);
  return section != nullptr ? section : impl;
}

}  // namespace re5zor4
